#include "logcapture.h"

#include "ui/maindialog.h"
#include "ui/mainwidget.h"
#include "ui/stylesheet.h"

#include <QImage>
#include <QProgressBar>
#include <QtTest>

class tst_Look : public QObject
{
    Q_OBJECT

private slots:
    void adaptsThreeComponentRgbaOnly_data();
    void adaptsThreeComponentRgbaOnly();
    void missingSheetLeavesWindowUnstyled();
    void styledWindowPixels();
};

void tst_Look::adaptsThreeComponentRgbaOnly_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("adapted");
    QTest::newRow("three components") << "a{background:rgba(127, 182, 255);}"
                                      << "a{background:rgb(127, 182, 255);}";
    QTest::newRow("tight spacing") << "a{color:rgba(1,2,3)}"
                                   << "a{color:rgb(1, 2, 3)}";
    QTest::newRow("four components stay") << "a{color:rgba(1, 2, 3, 40);}"
                                          << "a{color:rgba(1, 2, 3, 40);}";
    QTest::newRow("rgb stays") << "a{color:rgb(204, 204, 204);}"
                               << "a{color:rgb(204, 204, 204);}";
}

void tst_Look::adaptsThreeComponentRgbaOnly()
{
    QFETCH(QString, sheet);
    QFETCH(QString, adapted);
    QCOMPARE(adaptStyleSheet(sheet), adapted);
}

void tst_Look::missingSheetLeavesWindowUnstyled()
{
    QWidget window;
    QVERIFY(!applyStyleSheet(&window, QStringLiteral(":/qss/missing")));
    QVERIFY(window.styleSheet().isEmpty());
}

static bool near(const QColor& a, const QColor& b, int tolerance = 8)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

#define QVERIFY_COLOR(image, x, y, expected)                                                       \
    QVERIFY2(near((image).pixelColor(x, y), expected),                                             \
             qPrintable(QStringLiteral("(%1, %2) is %3")                                           \
                            .arg(x)                                                                \
                            .arg(y)                                                                \
                            .arg((image).pixelColor(x, y).name(QColor::HexArgb))))

void tst_Look::styledWindowPixels()
{
    LogCapture log;
    MainDialog dialog;
    QVERIFY(applyStyleSheet(&dialog, QStringLiteral(":/qss/stylesheet")));
    // The sheet as compiled in parses without a warning from Qt.
    QVERIFY2(log.lines().filter(QStringLiteral("QCssParser")).isEmpty(),
             qPrintable(log.lines().join('\n')));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    UpdateProgress half;
    half.finished = 100;
    half.total = 200;
    half.current = 0;
    dialog.mainWidget()->slot_updateProgressInfo(half);

    const QImage image = dialog.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(image.size(), QSize(490, 200));
    const QColor grey(204, 204, 204);
    const QColor blue(127, 182, 255);
    // Corners outside the 5-pixel radius are transparent; the outline is grey.
    for (const QPoint& corner : {QPoint(0, 0), QPoint(489, 0), QPoint(0, 199), QPoint(489, 199)})
        QVERIFY2(image.pixelColor(corner).alpha() == 0, qPrintable(QString::number(corner.x())));
    QVERIFY_COLOR(image, 0, 100, grey);
    QVERIFY_COLOR(image, 489, 100, grey);
    // Title strip (rows 1 to 38): light blue, upper corners curved, lower corners square.
    QVERIFY_COLOR(image, 60, 20, blue);
    QVERIFY(!near(image.pixelColor(1, 1), blue));
    QVERIFY_COLOR(image, 1, 38, blue);
    QVERIFY_COLOR(image, 488, 38, blue);
    // The title is written in white on it.
    int whitePixels = 0;
    for (int x = 150; x < 340; ++x)
        for (int y = 5; y < 35; ++y)
            whitePixels += near(image.pixelColor(x, y), QColor(Qt::white), 30) ? 1 : 0;
    QVERIFY(whitePixels > 20);
    // The close label at its right end shows a white cross on the blue: white on both
    // diagonals, blue between them.
    auto* close = dialog.findChild<QWidget*>(QStringLiteral("closeDialogLabel"));
    const QPoint closeAt = close->mapTo(&dialog, QPoint(0, 0));
    QVERIFY(closeAt.x() > 440 && closeAt.y() < 38 - 16);
    int crossWhite = 0;
    for (int i = 2; i < 14; ++i) {
        crossWhite += near(image.pixelColor(closeAt + QPoint(i, i)), QColor(Qt::white), 60);
        crossWhite += near(image.pixelColor(closeAt + QPoint(15 - i, i)), QColor(Qt::white), 60);
    }
    QVERIFY2(crossWhite >= 20, qPrintable(QString::number(crossWhite)));
    QVERIFY_COLOR(image, closeAt.x() + 8, closeAt.y() + 1, blue);
    QVERIFY_COLOR(image, closeAt.x() + 1, closeAt.y() + 8, blue);
    // White body below it.
    QVERIFY_COLOR(image, 20, 60, QColor(Qt::white));

    // The progress bar: light-blue chunk on the left half, white on the right.
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    const QPoint barTopLeft = bar->mapTo(&dialog, QPoint(0, 0));
    const int y = barTopLeft.y() + bar->height() / 2;
    QVERIFY_COLOR(image, barTopLeft.x() + bar->width() / 4, y, blue);
    QVERIFY_COLOR(image, barTopLeft.x() + bar->width() * 3 / 4, y, QColor(Qt::white));
}

QTEST_MAIN(tst_Look)
#include "tst_look.moc"
