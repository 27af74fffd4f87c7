#include "log/logcategoryfilter.h"
#include "log/logquoted.h"
#include "log/scopedloghandler.h"
#include "platform/installfs.h"
#include "platform/logfilesetup.h"
#include "platform/messagepresenter.h"
#include "platform/platform.h"
#include "ui/boxpresenter.h"
#include "ui/maindialog.h"
#include "ui/stylesheet.h"
#include "update/installjournal.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

namespace
{
// Removes the private runtime folder when main ends, after the application object is gone.
struct RuntimeDirRemover {
    ~RuntimeDirRemover() { removePrivateRuntimeDir(); }
};
} // namespace

int main(int argc, char* argv[])
{
    // Run as a service or from a root shell, there is no XDG_RUNTIME_DIR: Qt would warn on
    // standard error about a folder of its own choosing.
    const RuntimeDirRemover runtimeDirRemover;
    setUpPrivateRuntimeDir();

    // Declared before the application object, so destroyed after it: the log handler stays
    // installed through the whole shutdown and is removed before main returns.
    ScopedLogHandler logHandler;
    QApplication app(argc, argv);

    // The updater works in its installation directory however it was started.
    const QString appDir = QCoreApplication::applicationDirPath();
    const bool ok = QDir::setCurrent(appDir);
    // No handler yet: this line goes to Qt's default output, never to the log file.
    qDebug() << "current dir is:" << logQuoted(QDir::currentPath()) << ok;

    prepareLogFile(appDir);
    logHandler.install();
    installLogCategoryFilter();

    // An installation interrupted by a kill or a power cut is rolled back, or finished, before
    // anything reads the installation.
    {
        InstallFs fs(QDir::currentPath());
        InstallJournal::recover(fs);
    }

    // Every box, including the configuration reader's from the worker thread, is shown by this
    // thread. The presenter outlives the window: the Controller's destructor releases through it
    // a worker still waiting on a box before it waits for the worker thread.
    // Without a display nobody could answer a box: its text is written out and the run goes on.
    BoxPresenter presenter(platformShowsWindows());
    MessagePresenter::install(&presenter);

    int status = 0;
    {
        MainDialog dialog(nullptr, nullptr);
        applyStyleSheet(&dialog, QStringLiteral(":/qss/stylesheet"));
        dialog.show();
        dialog.start();
        status = app.exec();
        // Leaving this block destroys the window, whose panel deletes the Controller: the worker
        // thread is quit and waited for before the application object goes.
    }
    MessagePresenter::install(nullptr);
    return status;
}
