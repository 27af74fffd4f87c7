#pragma once

// Stands between the progress window (GUI thread) and the Update worker (a thread of its own):
// owns that thread, relays the worker's progress to the window, starts the run, and at its end
// shows the failure message if there is one, starts the application's main executable and ends
// the event loop.

#include "update/updateprogress.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

class Update;

class Controller : public QObject
{
    Q_OBJECT

public:
    // Starts the program at exe (no arguments) in workingDir; returns whether it was started.
    using MainStarter = std::function<bool(const QString& exe, const QString& workingDir)>;

    explicit Controller(QObject* parent = nullptr);
    // Quits the worker thread and waits for it without a time limit; the worker is deleted as
    // the thread ends.
    ~Controller() override;

    // Asks the worker, through a queued signal, to begin the run. Called once per run.
    void start();

    // Replaces how the main executable is started (by default detached, see platform.h).
    void setMainStarter(MainStarter starter);
    Update* updateWorker() const { return worker; }

signals:
    void sig_updateProgress(UpdateProgress data);
    void sig_operate();

public slots:
    void slot_updateFinished(bool ok, const QString& msg);

private:
    void startMain();

    QThread workerThread;
    Update* worker;
    MainStarter mainStarter;
};
