#include "controller/controller.h"

#include "config/configinfo.h"
#include "log/logquoted.h"
#include "platform/messagepresenter.h"
#include "platform/platform.h"
#include "update/update.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

Controller::Controller(QObject* parent)
    : QObject(parent), workerThread(), mainStarter(&startDetachedProgram)
{
    qRegisterMetaType<ConfigInfo>("ConfigInfo");

    worker = new Update;
    worker->moveToThread(&workerThread);

    connect(&workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &Update::sig_finished, this, &Controller::slot_updateFinished);
    connect(worker, &Update::sig_progress, this, &Controller::sig_updateProgress);
    connect(this, &Controller::sig_operate, worker, &Update::slot_work);

    workerThread.start(QThread::InheritPriority);
}

Controller::~Controller()
{
    // A worker blocked on a message box would never let the thread end while this thread waits
    // without running its event loop: release it first.
    if (MessagePresenter* presenter = MessagePresenter::current())
        presenter->beginShutdown();
    // An installation waiting for a file another program holds gives up instead of keeping the
    // window's thread here.
    workerThread.requestInterruption();
    workerThread.quit();
    workerThread.wait();
}

void Controller::start()
{
    qDebug() << "Controller::start";
    emit sig_operate();
}

void Controller::setMainStarter(MainStarter starter)
{
    mainStarter = std::move(starter);
}

void Controller::slot_updateFinished(bool ok, const QString& msg)
{
    qDebug() << "Controller::slot_updateFinished" << ok << logQuoted(msg);
    if (!ok)
        MessagePresenter::present(msg);
    startMain();
}

void Controller::startMain()
{
    const QString installDir = QDir::currentPath();
    const QString mainName = worker->mainExe();
    const QString exe = installDir + QStringLiteral("/") + mainName;

    // The updater runs with administrator rights: a value that climbs out of the installation
    // directory is refused like a missing file.
    const PlatformFlavour flavour = currentPlatformFlavour();
    const bool accepted =
        pathStaysInside(exe, installDir, flavour) && isAcceptableMainExe(exe, flavour);
    if (!accepted) {
        MessagePresenter::present(tr("无法找到文件:") + exe);
    } else {
        mainStarter(exe, installDir);
        qDebug() << "start main:" << logQuoted(exe);
    }
    QCoreApplication::quit();
}
