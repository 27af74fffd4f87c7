#include "logcapture.h"

#include "controller/controller.h"
#include "ui/maindialog.h"
#include "ui/mainwidget.h"

#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void panelBeforeFirstRecord();
    void progressRecords_data();
    void progressRecords();
    void recordsArriveThroughController();
    void dialogGeometry();
};

struct Panel {
    MainWidget widget;
    QLabel* tip = widget.findChild<QLabel*>(QStringLiteral("tipLabel"));
    QProgressBar* bar = widget.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QLabel* percent = widget.findChild<QLabel*>(QStringLiteral("percentLabel"));
};

static UpdateProgress record(const QString& tip, int finished, int total, int current)
{
    UpdateProgress progress;
    progress.tip = tip;
    progress.finished = finished;
    progress.total = total;
    progress.current = current;
    return progress;
}

void tst_MainWindow::panelBeforeFirstRecord()
{
    Panel panel;
    QCOMPARE(panel.widget.objectName(), QStringLiteral("MainWidget"));
    QVERIFY(panel.tip && panel.bar && panel.percent);
    QCOMPARE(panel.tip->text(), QStringLiteral("正在安装文件"));
    QCOMPARE(panel.tip->font().family(), QStringLiteral("微软雅黑"));
    QCOMPARE(panel.tip->font().pointSize(), 10);
    QCOMPARE(panel.percent->text(), QStringLiteral("0%"));
    QCOMPARE(panel.percent->minimumWidth(), 50);
    QVERIFY(!panel.percent->font().bold());
    QCOMPARE(panel.bar->minimum(), 0);
    QCOMPARE(panel.bar->maximum(), 100);
    QCOMPARE(panel.bar->value(), 0);
    QVERIFY(!panel.bar->isTextVisible());
    QCOMPARE(panel.bar->maximumHeight(), 14);
    QVERIFY(panel.bar->styleSheet().isEmpty());
    QVERIFY(panel.widget.updateController() != nullptr);
}

void tst_MainWindow::progressRecords_data()
{
    QTest::addColumn<int>("finished");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("percent");
    QTest::newRow("half way") << 100 << 300 << 50 << 300 << 150 << "50%";
    QTest::newRow("all done") << 300 << 300 << 40 << 300 << 300 << "100%";
    QTest::newRow("total 0 right after start") << 0 << 0 << 0 << 100 << 0 << "0%";
    QTest::newRow("negative total") << 50 << -100 << 10 << 100 << 0 << "0%";
    QTest::newRow("two thirds truncates") << 200 << 300 << 0 << 300 << 200 << "66%";
    QTest::newRow("first file in flight") << 0 << 100 << 7 << 100 << 7 << "7%";
}

void tst_MainWindow::progressRecords()
{
    QFETCH(int, finished);
    QFETCH(int, total);
    QFETCH(int, current);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, percent);

    Panel panel;
    LogCapture log;
    panel.widget.slot_updateProgressInfo(
        record(QStringLiteral("检查更新文件"), finished, total, current));
    QCOMPARE(panel.bar->maximum(), maximum);
    QCOMPARE(panel.bar->value(), value);
    QCOMPARE(panel.percent->text(), percent);
    QCOMPARE(panel.tip->text(), QStringLiteral("检查更新文件"));
    QCOMPARE(
        log.linesStartingWith(QStringLiteral("progress:")),
        QStringList{QStringLiteral("progress: %1 %2 %3").arg(finished).arg(total).arg(current)});
}

void tst_MainWindow::recordsArriveThroughController()
{
    // A record with total 0 after a real one keeps the maximum it had and shows 0.
    Panel panel;
    emit panel.widget.updateController()->sig_updateProgress(
        record(QStringLiteral("正在安装文件"), 100, 200, 30));
    QCOMPARE(panel.bar->maximum(), 200);
    QCOMPARE(panel.bar->value(), 130);
    QCOMPARE(panel.percent->text(), QStringLiteral("65%"));
    emit panel.widget.updateController()->sig_updateProgress(record(QString(), 0, 0, 0));
    QCOMPARE(panel.bar->maximum(), 200);
    QCOMPARE(panel.bar->value(), 0);
    QCOMPARE(panel.percent->text(), QStringLiteral("0%"));
    QVERIFY(panel.tip->text().isEmpty());
}

void tst_MainWindow::dialogGeometry()
{
    MainDialog dialog;
    auto* panel = qobject_cast<MainWidget*>(dialog.content());
    QVERIFY(panel);
    QCOMPARE(dialog.mainWidget(), panel);
    QCOMPARE(panel->parentWidget()->objectName(), QStringLiteral("msgWidget"));
    QCOMPARE(dialog.minimumSize(), QSize(490, 200));
    QCOMPARE(dialog.maximumSize(), QSize(490, 200));
    QCOMPARE(dialog.findChild<QWidget*>(QStringLiteral("frontWidget"))->geometry(),
             QRect(1, 1, 488, 198));
    QCOMPARE(panel->minimumSize(), QSize(489, 160));
    QCOMPARE(panel->maximumSize(), QSize(489, 160));

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint centred((screen.width() - 490) / 2 + screen.x(),
                         (screen.height() - 200) / 2 + screen.y());
    QCOMPARE(dialog.pos(), centred);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.geometry(), QRect(centred, QSize(490, 200)));
    QCOMPARE(panel->size(), QSize(489, 160));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
