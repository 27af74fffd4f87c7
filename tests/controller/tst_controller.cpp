#include "boxcloser.h"
#include "installationfixture.h"
#include "logcapture.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"

#include "controller/controller.h"
#include "platform/platform.h"
#include "ui/boxpresenter.h"
#include "ui/clickedlabel.h"
#include "ui/maindialog.h"
#include "ui/mainwidget.h"
#include "update/update.h"

#include <QDeadlineTimer>
#include <QTimer>
#include <QtTest>

#include <memory>

class tst_Controller : public QObject
{
    Q_OBJECT

private slots:
    void endOfRun_data();
    void endOfRun();
    void closingDuringDownloadStartsNothing();
    void destructorReleasesWorkerWaitingOnBox();
};

// Runs the application's event loop until something quits it. A loop that nothing ends stops
// after two minutes with status 99, which the callers' checks reject.
static int runEventLoop(const std::function<void()>& kick)
{
    QTimer::singleShot(0, qApp, kick);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(120000);
    return QCoreApplication::exec();
}

struct StartedMain {
    QString exe;
    QString workingDir;
};

enum MainKind { Executable, NotExecutable, Missing, Outside };

void tst_Controller::endOfRun_data()
{
    QTest::addColumn<QString>("newVersion");
    QTest::addColumn<bool>("newListsFiles");
    QTest::addColumn<int>("mainKind");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("workerMessage");
    QTest::addColumn<bool>("started");

    const QString empty = QStringLiteral("读取更新配置文件为空");
    const QString nothing = QStringLiteral("没有检查到更新文件");
    QTest::newRow("success starts main, no box")
        << "1.1" << true << int(Executable) << true << "success" << true;
    QTest::newRow("empty new configuration: box, then main")
        << "1.1" << false << int(Executable) << false << empty << true;
    QTest::newRow("nothing newer: box, then main")
        << "1.0" << true << int(Executable) << false << nothing << true;
    QTest::newRow("missing main: box, nothing started")
        << "1.1" << true << int(Missing) << true << "success" << false;
    QTest::newRow("failure and missing main: two boxes")
        << "1.0" << true << int(Missing) << false << nothing << false;
    QTest::newRow("main not executable is refused")
        << "1.1" << true << int(NotExecutable) << true << "success" << false;
    QTest::newRow("main outside the installation is refused")
        << "1.1" << true << int(Outside) << true << "success" << false;
}

void tst_Controller::endOfRun()
{
    QFETCH(QString, newVersion);
    QFETCH(bool, newListsFiles);
    QFETCH(int, mainKind);
    QFETCH(bool, ok);
    QFETCH(QString, workerMessage);
    QFETCH(bool, started);

    QTemporaryDir served;
    QTemporaryDir outside;
    QVERIFY(served.isValid() && outside.isValid());
    const QByteArray release = "new data of release 1.1\n";
    QFile servedFile(served.filePath(QStringLiteral("data.bin")));
    QVERIFY(servedFile.open(QIODevice::WriteOnly));
    servedFile.write(release);
    servedFile.close();
    TestHttpServer server(served.path());
    QVERIFY(server.listen());

    InstallationFixture install;
    QVERIFY(install.isValid());
    // The main program's name has a space and ".exe", so the same name passes on every platform.
    QString mainValue = QStringLiteral("my app.exe");
    switch (mainKind) {
    case Executable:
        QVERIFY(install.writeFile(mainValue, "#!/bin/sh\n", InstallationFixture::executable()));
        break;
    case NotExecutable:
        if (currentPlatformFlavour() == PlatformFlavour::Windows)
            QSKIP("every existing .exe counts as executable on Windows");
        QVERIFY(install.writeFile(mainValue, "#!/bin/sh\n"));
        break;
    case Missing:
        break;
    case Outside: {
        const QString name = QStringLiteral("outside.exe");
        QFile file(outside.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(file.setPermissions(InstallationFixture::executable()));
        mainValue = QStringLiteral("../") + QFileInfo(outside.path()).fileName() + "/" + name;
        break;
    }
    }
    QVERIFY(install.writeFile(QStringLiteral("data.bin"), "old data\n"));
    QVERIFY(install.writeConfig(QStringLiteral("config/UpdateCfg.xml"), "1.0", mainValue,
                                server.baseUrl(), {{"/data.bin", install.md5("old data\n")}}));
    QMap<QString, QString> newFiles;
    if (newListsFiles)
        newFiles.insert(QStringLiteral("/data.bin"), install.md5(release));
    QVERIFY(install.writeConfig(QStringLiteral("update/UpdateCfg.xml"), newVersion, mainValue,
                                server.baseUrl(), newFiles));

    RecordingPresenter boxes;
    LogCapture log;
    QList<StartedMain> starts;
    auto controller = std::make_unique<Controller>();
    controller->setMainStarter([&starts](const QString& exe, const QString& workingDir) {
        starts.append({exe, workingDir});
        return true;
    });

    // The run ends by quitting the event loop, in every case.
    QCOMPARE(runEventLoop([&controller] { controller->start(); }), 0);

    const QString exe = install.path() + "/" + mainValue;
    QStringList expectedBoxes;
    if (!ok)
        expectedBoxes << workerMessage;
    if (!started)
        expectedBoxes << QStringLiteral("无法找到文件:") + exe;
    QCOMPARE(boxes.texts(), expectedBoxes);
    if (started) {
        QCOMPARE(starts.size(), 1);
        QCOMPARE(starts.at(0).exe, exe);
        QCOMPARE(starts.at(0).workingDir, install.path());
    } else {
        QVERIFY(starts.isEmpty());
    }
    if (ok)
        QCOMPARE(install.read(QStringLiteral("data.bin")), release);

    const QStringList lines = log.lines();
    QCOMPARE(lines.value(0), QStringLiteral("Controller::start"));
    QCOMPARE(log.linesStartingWith(QStringLiteral("Controller::slot_updateFinished")),
             QStringList{QStringLiteral("Controller::slot_updateFinished %1 \"%2\"")
                             .arg(ok ? "true" : "false", workerMessage)});
    const QStringList startLines = log.linesStartingWith(QStringLiteral("start main:"));
    if (started) {
        QCOMPARE(startLines, QStringList{QStringLiteral("start main: \"%1\"").arg(exe)});
        QCOMPARE(lines.last(), startLines.first());
    } else {
        QVERIFY(startLines.isEmpty());
    }
}

void tst_Controller::closingDuringDownloadStartsNothing()
{
    QTemporaryDir served;
    QVERIFY(served.isValid());
    QFile big(served.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(4 * 1024 * 1024, 'x'));
    big.close();
    TestHttpServer server(served.path());
    QVERIFY(server.listen());
    // The download starts and then hangs, so it is surely in flight when the window closes.
    server.stallAfter(QStringLiteral("/big.bin"), 64 * 1024);

    InstallationFixture install;
    QVERIFY(install.isValid());
    QVERIFY(install.writeFile(QStringLiteral("app.exe"), "#!/bin/sh\n",
                              InstallationFixture::executable()));
    QVERIFY(install.writeFile(QStringLiteral("big.bin"), "installed\n"));
    QVERIFY(install.writeConfig(QStringLiteral("config/UpdateCfg.xml"), "1.0", "app.exe",
                                server.baseUrl(), {{"/big.bin", install.md5("installed\n")}}));
    QVERIFY(install.writeConfig(QStringLiteral("update/UpdateCfg.xml"), "2.0", "app.exe",
                                server.baseUrl(), {{"/big.bin", "0123"}}));
    const QByteArray installedConfig = install.read(QStringLiteral("config/UpdateCfg.xml"));

    RecordingPresenter boxes;
    LogCapture log;
    auto dialog = std::make_unique<MainDialog>();
    int starts = 0;
    Controller* controller = dialog->mainWidget()->updateController();
    controller->setMainStarter([&starts](const QString&, const QString&) {
        ++starts;
        return true;
    });
    std::atomic<QThread*> workerDiedIn{nullptr};
    connect(
        controller->updateWorker(), &QObject::destroyed, controller->updateWorker(),
        [&workerDiedIn] { workerDiedIn = QThread::currentThread(); }, Qt::DirectConnection);

    auto* closeLabel = dialog->findChild<ClickedLabel*>(QStringLiteral("closeDialogLabel"));
    QTimer watch;
    watch.setInterval(20);
    connect(&watch, &QTimer::timeout, this, [&] {
        if (!log.linesStartingWith(QStringLiteral("Update::slot_readyRead")).isEmpty()) {
            watch.stop();
            QTest::mouseClick(closeLabel, Qt::LeftButton);
        }
    });
    const int status = runEventLoop([&] {
        dialog->show();
        dialog->start();
        watch.start();
    });
    QCOMPARE(status, 0);
    QVERIFY(!dialog->isVisible());

    // Destroying the window waits for the worker thread; the worker is gone by then.
    dialog.reset();
    QVERIFY(workerDiedIn.load() != nullptr);
    QVERIFY(workerDiedIn.load() != QThread::currentThread());

    QCOMPARE(starts, 0);
    QVERIFY(boxes.texts().isEmpty());
    QVERIFY(log.linesStartingWith(QStringLiteral("Controller::slot_updateFinished")).isEmpty());
    QVERIFY(log.linesStartingWith(QStringLiteral("start main:")).isEmpty());
    QCOMPARE(log.lines().count(QStringLiteral("BasicMessageDialog::~BasicMessageDialog")), 1);
    // Nothing was installed.
    QCOMPARE(install.read(QStringLiteral("big.bin")), QByteArray("installed\n"));
    QCOMPARE(install.read(QStringLiteral("config/UpdateCfg.xml")), installedConfig);
    QVERIFY(!QDir(install.filePath(QStringLiteral("backup"))).exists());
    // The part of the file that had arrived is not left in update/ under the file's name; the
    // new configuration stays for the next run.
    QVERIFY(!QFileInfo::exists(install.filePath(QStringLiteral("update/big.bin"))));
    QCOMPARE(QDir(install.filePath(QStringLiteral("update")))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("UpdateCfg.xml")});
}

void tst_Controller::destructorReleasesWorkerWaitingOnBox()
{
    InstallationFixture install;
    QVERIFY(install.isValid());
    // A malformed installed configuration makes the reader show a box from the worker thread.
    QVERIFY(install.writeFile(QStringLiteral("config/UpdateCfg.xml"), "<update><info version="));

    BoxPresenter presenter;
    MessagePresenter* previous = MessagePresenter::install(&presenter);
    LogCapture log;
    auto controller = std::make_unique<Controller>();
    controller->start();

    // This thread handles no events from here on, as in shutdown, so the box is never shown.
    const QDeadlineTimer deadline(120000);
    while (log.linesStartingWith(QStringLiteral("read xml error:")).isEmpty() &&
           !deadline.hasExpired())
        QThread::yieldCurrentThread();
    QVERIFY(!deadline.hasExpired());

    // Returns only because the worker is released from its wait for the box.
    controller.reset();

    BoxCloser closer;
    QCoreApplication::processEvents();
    QVERIFY(closer.closed.isEmpty());
    MessagePresenter::install(previous);
}

QTEST_MAIN(tst_Controller)
#include "tst_controller.moc"
