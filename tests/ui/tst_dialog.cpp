#include "logcapture.h"

#include "platform/platform.h"
#include "ui/basicmessagedialog.h"
#include "ui/clickedlabel.h"
#include "ui/moveablewidget.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

class tst_Dialog : public QObject
{
    Q_OBJECT

private slots:
    void frameTree();
    void sizeFitsInnerPanelAndContent();
    void nullContentKeepsFormSize();
    void centredPosition_data();
    void centredPosition();
    void centresOnAnchorWindow();
    void centresOnPrimaryScreenWithoutAnchor();
    void closeLabelEndsEventLoop();
    void escapeRejects();
    void dragFromCloseLabelMovesAndClicks();
    void destructorLogsOnce();
};

// Runs the application's event loop until something quits it; a stuck loop ends after a minute
// with a status the caller's check will reject.
static int runEventLoop(const std::function<void()>& kick)
{
    QTimer::singleShot(0, qApp, kick);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(60000);
    return QCoreApplication::exec();
}

void tst_Dialog::frameTree()
{
    BasicMessageDialog dialog(new QWidget, nullptr);
    QCOMPARE(dialog.objectName(), QStringLiteral("BasicMessageDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
    // Frameless is the only hint; the toolkit adds the Window type for a parentless widget.
    QCOMPARE(dialog.windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::FramelessWindowHint));
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));

    // The style sheet selects these by name, and the nesting gives the window its shape.
    const struct {
        const char* name;
        const char* className;
        const char* parentName;
    } tree[] = {
        {"backWidget", "QWidget", "BasicMessageDialog"},
        {"frontWidget", "QWidget", "backWidget"},
        {"msgHeadWidget", "MoveableWidget", "frontWidget"},
        {"msgTitleWidget", "QWidget", "msgHeadWidget"},
        {"label_4", "QLabel", "msgTitleWidget"},
        {"titleDialogLabel", "QLabel", "msgTitleWidget"},
        {"closeDialogLabel", "ClickedLabel", "msgTitleWidget"},
        {"msgWidget", "QWidget", "frontWidget"},
    };
    for (const auto& node : tree) {
        auto* widget = dialog.findChild<QWidget*>(QString::fromLatin1(node.name));
        QVERIFY2(widget, node.name);
        QCOMPARE(widget->metaObject()->className(), node.className);
        QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(node.parentName));
    }

    auto* title = dialog.findChild<QLabel*>(QStringLiteral("titleDialogLabel"));
    QCOMPARE(title->text(), QStringLiteral("Velmora"));
    QCOMPARE(title->font().family(), QStringLiteral("Microsoft YaHei"));
    QCOMPARE(title->font().pixelSize(), 18);
    QVERIFY(title->font().bold());
    auto* close = dialog.findChild<QLabel*>(QStringLiteral("closeDialogLabel"));
    QCOMPARE(close->minimumSize(), QSize(16, 16));
    QCOMPARE(close->maximumSize(), QSize(16, 16));
    QVERIFY(close->text().isEmpty());
    // The close label shows the white cross of the resources.
    const QPixmap cross = close->pixmap();
    QVERIFY(!cross.isNull());
    QCOMPARE(cross.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
             QImage(QStringLiteral(":/image/close"))
                 .convertToFormat(QImage::Format_ARGB32_Premultiplied));
    auto* head = dialog.findChild<QWidget*>(QStringLiteral("msgHeadWidget"));
    QCOMPARE(head->height(), 38);
    QCOMPARE(head->maximumHeight(), 38);
    QCOMPARE(dialog.findChild<QWidget*>(QStringLiteral("msgWidget"))->minimumHeight(), 100);
    QCOMPARE(dialog.findChild<QWidget*>(QStringLiteral("label_4"))->maximumSize(), QSize(12, 12));
}

void tst_Dialog::sizeFitsInnerPanelAndContent()
{
    auto* content = new QWidget;
    BasicMessageDialog dialog(content, nullptr);
    QCOMPARE(dialog.content(), content);
    QCOMPARE(content->parentWidget()->objectName(), QStringLiteral("msgWidget"));

    dialog.setDialogSize(490, 200);
    QCOMPARE(dialog.minimumSize(), QSize(490, 200));
    QCOMPARE(dialog.maximumSize(), QSize(490, 200));
    QCOMPARE(dialog.findChild<QWidget*>(QStringLiteral("frontWidget"))->geometry(),
             QRect(1, 1, 488, 198));
    QCOMPARE(content->minimumSize(), QSize(489, 160));
    QCOMPARE(content->maximumSize(), QSize(489, 160));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), QSize(490, 200));
    QCOMPARE(dialog.findChild<QWidget*>(QStringLiteral("frontWidget"))->geometry(),
             QRect(1, 1, 488, 198));
    QCOMPARE(content->size(), QSize(489, 160));
}

void tst_Dialog::nullContentKeepsFormSize()
{
    BasicMessageDialog dialog(nullptr, nullptr);
    dialog.setDialogSize(490, 200);
    QCOMPARE(dialog.size(), QSize(490, 197));
    QCOMPARE(dialog.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    QVERIFY(dialog.findChild<QWidget*>(QStringLiteral("msgWidget"))->layout() == nullptr);
}

void tst_Dialog::centredPosition_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("position");
    QTest::newRow("1920 x 1080 desktop")
        << QRect(0, 0, 1920, 1080) << QSize(490, 200) << QPoint(715, 440);
    QTest::newRow("anchor window")
        << QRect(100, 50, 801, 600) << QSize(490, 200) << QPoint(255, 250);
    QTest::newRow("odd difference truncates")
        << QRect(0, 0, 1001, 601) << QSize(490, 200) << QPoint(255, 200);
    QTest::newRow("larger than the area truncates toward zero")
        << QRect(0, 0, 485, 195) << QSize(490, 200) << QPoint(-2, -2);
}

void tst_Dialog::centredPosition()
{
    QFETCH(QRect, area);
    QFETCH(QSize, size);
    QFETCH(QPoint, position);
    QCOMPARE(::centredPosition(area, size), position);
}

void tst_Dialog::centresOnAnchorWindow()
{
    QWidget anchorWindow;
    anchorWindow.move(100, 50);
    anchorWindow.resize(801, 600);
    auto* inner = new QWidget(&anchorWindow);

    BasicMessageDialog dialog(new QWidget, inner);
    QCOMPARE(dialog.anchor(), &anchorWindow);
    dialog.setDialogSize(490, 200);
    dialog.moveToCenter();
    QCOMPARE(dialog.pos(), QPoint(255, 250));
}

void tst_Dialog::centresOnPrimaryScreenWithoutAnchor()
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    BasicMessageDialog dialog(new QWidget, nullptr);
    dialog.setDialogSize(490, 200);
    dialog.moveToCenter();
    QCOMPARE(dialog.pos(), QPoint((screen.width() - 490) / 2 + screen.x(),
                                  (screen.height() - 200) / 2 + screen.y()));
    QCOMPARE(dialog.anchor(), static_cast<QWidget*>(nullptr));
}

void tst_Dialog::closeLabelEndsEventLoop()
{
    BasicMessageDialog dialog(new QWidget, nullptr);
    dialog.setDialogSize(490, 200);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* close = dialog.findChild<ClickedLabel*>(QStringLiteral("closeDialogLabel"));
    QSignalSpy rejected(&dialog, &QDialog::rejected);

    const int status = runEventLoop([close] { QTest::mouseClick(close, Qt::LeftButton); });
    QCOMPARE(status, 0);
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
}

void tst_Dialog::escapeRejects()
{
    BasicMessageDialog dialog(new QWidget, nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const int status = runEventLoop([&dialog] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    QCOMPARE(status, 0);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
}

void tst_Dialog::dragFromCloseLabelMovesAndClicks()
{
    BasicMessageDialog dialog(new QWidget, nullptr);
    dialog.setDialogSize(490, 200);
    dialog.move(400, 250);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* close = dialog.findChild<ClickedLabel*>(QStringLiteral("closeDialogLabel"));
    QSignalSpy clicked(close, &ClickedLabel::sig_clicked);

    const QPoint start = close->mapToGlobal(QPoint(8, 8));
    QTest::mousePress(close, Qt::LeftButton, {}, QPoint(8, 8));
    QTest::mouseMove(close, close->mapFromGlobal(start + QPoint(30, 40)));
    QCOMPARE(dialog.pos(), QPoint(430, 290));
    QCOMPARE(clicked.count(), 0);
    QTest::mouseRelease(close, Qt::LeftButton, {}, close->mapFromGlobal(start + QPoint(30, 40)));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void tst_Dialog::destructorLogsOnce()
{
    LogCapture log;
    {
        BasicMessageDialog dialog(new QWidget, nullptr);
        QVERIFY(log.linesStartingWith(QStringLiteral("BasicMessageDialog::")).isEmpty());
    }
    QCOMPARE(log.lines().count(QStringLiteral("BasicMessageDialog::~BasicMessageDialog")), 1);
}

QTEST_MAIN(tst_Dialog)
#include "tst_dialog.moc"
