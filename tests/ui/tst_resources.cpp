#include <QFile>
#include <QImage>
#include <QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void styleSheetIsByteExact();
    void images_data();
    void images();
    void imagePixels();
};

// The sheet as it must be compiled in: eleven rules, CR LF line ends, empty lines after rules
// 1, 2, 4, 5, 6 and 9, "{" on the selector line only for the progress bar rules.
static QByteArray expectedStyleSheet()
{
    const char* const lines[] = {
        "QWidget#backWidget",
        "{",
        "    background-color:rgb(204, 204, 204);",
        "    border-radius: 5px;",
        "}",
        "",
        "QWidget#frontWidget",
        "{",
        "    background-color: rgb(255, 255, 255);",
        "    border-radius: 5px;",
        "}",
        "",
        "QPushButton#closeBtn",
        "{",
        "    border: 0px;",
        "    background-image: url(:/image/close);",
        "}",
        "QWidget#msgTitleWidget",
        "{",
        "    background-color: rgb(127, 182, 255);",
        "    border-top-left-radius: 5px;",
        "    border-top-right-radius: 5px;",
        "}",
        "",
        "QLabel#titleDialogLabel",
        "{",
        "    color: white;",
        "}",
        "",
        "QLabel#msgLabel",
        "{",
        "    font-size: 18px;",
        "    font-family: \"Microsoft YaHei\";",
        "}",
        "",
        "QLabel#msgBtnLineLabel, QLabel#msgLineLabel",
        "{",
        "    background-color: rgb(204, 204, 204);",
        "}",
        "QPushButton#okBtn, QPushButton#cancelBtn",
        "{",
        "    border: 0px;",
        "    font-size: 18px;",
        "    font-family: \"Microsoft YaHei\";",
        "}",
        "QPushButton#okBtn",
        "{",
        "    color: red;",
        "}",
        "",
        "QProgressBar#progressBar{",
        "    border: 1px solid rgb(204, 204, 204);",
        "    background: white;",
        "}",
        "QProgressBar#progressBar::chunk{",
        "    background:rgba(127, 182, 255);",
        "}",
    };
    QByteArray text;
    for (const char* line : lines)
        text += QByteArray(line) + "\r\n";
    return text;
}

void tst_Resources::styleSheetIsByteExact()
{
    QFile file(QStringLiteral(":/qss/stylesheet"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(bytes.size(), 995);
    QCOMPARE(bytes.count("\r\n"), 57);
    QCOMPARE(bytes.count('\n'), 57); // no bare line feed: nothing converted the line ends
    QCOMPARE(bytes, expectedStyleSheet());
}

void tst_Resources::images_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("close") << QStringLiteral(":/image/close") << QSize(16, 16) << true;
    QTest::newRow("progress_bg") << QStringLiteral(":/image/progress_bg") << QSize(600, 14)
                                 << false;
    QTest::newRow("progress_front")
        << QStringLiteral(":/image/progress_front") << QSize(590, 12) << true;
}

void tst_Resources::images()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.peek(8).startsWith("\x89PNG\r\n\x1a\n"));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), alpha);
}

void tst_Resources::imagePixels()
{
    const QImage close = QImage(QStringLiteral(":/image/close"));
    // The diagonals cross at the centre; the middle of each edge lies off both of them.
    QCOMPARE(close.pixelColor(7, 7), QColor(255, 255, 255, 255));
    QCOMPARE(close.pixelColor(0, 0).alpha(), 255);
    QCOMPARE(close.pixelColor(8, 0).alpha(), 0);
    QCOMPARE(close.pixelColor(0, 8).alpha(), 0);

    const QImage bg = QImage(QStringLiteral(":/image/progress_bg"));
    QCOMPARE(bg.pixelColor(0, 0), QColor(45, 47, 57));
    QCOMPARE(bg.pixelColor(9, 6), QColor(45, 47, 57));
    QCOMPARE(bg.pixelColor(10, 6), QColor(126, 128, 140));
    QCOMPARE(bg.pixelColor(589, 7), QColor(126, 128, 140));
    QCOMPARE(bg.pixelColor(590, 7), QColor(45, 47, 57));
    QCOMPARE(bg.pixelColor(300, 8), QColor(45, 47, 57));

    const QImage front = QImage(QStringLiteral(":/image/progress_front"));
    QCOMPARE(front.pixelColor(5, 5), QColor(27, 191, 228, 255));
    QCOMPARE(front.pixelColor(584, 6), QColor(27, 191, 228, 255));
    const QColor glow = front.pixelColor(300, 4);
    QCOMPARE(glow.rgb(), QColor(27, 151, 215).rgb());
    QVERIFY(glow.alpha() > 0 && glow.alpha() < 255);
    // The glow fades toward the top and the ends.
    QVERIFY(front.pixelColor(300, 0).alpha() < glow.alpha());
    QVERIFY(front.pixelColor(0, 5).alpha() < front.pixelColor(4, 5).alpha());
}

QTEST_GUILESS_MAIN(tst_Resources)
#include "tst_resources.moc"
