#include "boxcloser.h"
#include "logcapture.h"

#include "ui/boxpresenter.h"

#include <QApplication>
#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QtTest>

class tst_BoxPresenter : public QObject
{
    Q_OBJECT

private slots:
    void guiThreadShowsBoxUntilClosed();
    void otherThreadWaitsForBoxOnGuiThread();
    void shutdownReleasesWaitingThread();
    void noBoxAfterShutdown();
    void withoutBoxesTextsAreWrittenOut();
};

// Calls show() from a thread of its own and records when it has returned.
class Caller : public QThread
{
public:
    Caller(MessagePresenter* presenter, QString text) : presenter(presenter), text(text) {}
    QAtomicInt returned;

protected:
    void run() override
    {
        presenter->show(text);
        returned.storeRelease(1);
    }

private:
    MessagePresenter* presenter;
    QString text;
};

void tst_BoxPresenter::guiThreadShowsBoxUntilClosed()
{
    BoxPresenter presenter;
    BoxCloser closer;
    presenter.show(QStringLiteral("没有检查到更新文件"));
    QCOMPARE(closer.closed, QStringList{QStringLiteral("没有检查到更新文件")});
}

void tst_BoxPresenter::otherThreadWaitsForBoxOnGuiThread()
{
    BoxPresenter presenter;
    Caller caller(&presenter, QStringLiteral("read config file error"));

    // The box runs its own event loop on this thread; a timer firing inside that loop looks at
    // it and closes it.
    QString seenText;
    QThread* seenThread = nullptr;
    int callerReturnedWhileShown = -1;
    QTimer timer;
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seenText = box->text();
        seenThread = box->thread();
        callerReturnedWhileShown = caller.returned.loadAcquire();
        box->done(0);
    });
    timer.start();
    caller.start();

    QTRY_VERIFY_WITH_TIMEOUT(caller.isFinished(), 60000);
    QCOMPARE(seenText, QStringLiteral("read config file error"));
    QCOMPARE(seenThread, QThread::currentThread());
    QCOMPARE(callerReturnedWhileShown, 0);
    QCOMPARE(caller.returned.loadAcquire(), 1);
}

void tst_BoxPresenter::shutdownReleasesWaitingThread()
{
    BoxPresenter presenter;
    Caller caller(&presenter, QStringLiteral("read config file error"));
    BoxCloser closer;
    caller.start();
    // Like the GUI thread in the controller's destructor, this thread processes no events while
    // it waits, so the box can never be shown and closed: the caller stays blocked until
    // shutdown begins.
    QVERIFY(!caller.wait(QDeadlineTimer(300)));
    QCOMPARE(caller.returned.loadAcquire(), 0);
    presenter.beginShutdown();
    QVERIFY(caller.wait(QDeadlineTimer(60000)));
    QCOMPARE(caller.returned.loadAcquire(), 1);
    // The request it left in the queue shows no box when it is finally processed.
    QCoreApplication::processEvents();
    QVERIFY(closer.closed.isEmpty());
}

void tst_BoxPresenter::noBoxAfterShutdown()
{
    BoxPresenter presenter;
    BoxCloser closer;
    presenter.beginShutdown();
    QVERIFY(presenter.isShuttingDown());
    presenter.show(QStringLiteral("gui thread"));
    Caller caller(&presenter, QStringLiteral("worker thread"));
    caller.start();
    QVERIFY(caller.wait(QDeadlineTimer(60000)));
    QCoreApplication::processEvents();
    QVERIFY(closer.closed.isEmpty());
}

void tst_BoxPresenter::withoutBoxesTextsAreWrittenOut()
{
    // Nobody closes a box here: a box shown would hold this test until it is killed.
    BoxPresenter presenter(false);
    LogCapture log;
    presenter.show(QStringLiteral("无法找到文件:/opt/a \"b\""));
    Caller caller(&presenter, QStringLiteral("网络出现错误:refused"));
    caller.start();
    QVERIFY(caller.wait(60000));
    QCOMPARE(caller.returned.loadAcquire(), 1);
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("message: \"无法找到文件:/opt/a \"b\"\""),
                                       QStringLiteral("message: \"网络出现错误:refused\"")}));
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

QTEST_MAIN(tst_BoxPresenter)
#include "tst_boxpresenter.moc"
