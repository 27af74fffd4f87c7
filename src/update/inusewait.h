#pragma once

// How an installation waits for files another program holds open. On Windows a file open
// without delete sharing (a library of the application still shutting down, a second instance,
// a scanner) cannot be moved until it is let go; failing at once would show the user an error on
// exactly the machines where the application is slow to exit. A step that fails because its file
// is in use is tried again after a growing pause, for at most a bounded time in all for the run;
// once that is spent, or once the thread is asked to end (the window was closed), such a step fails
// at once as any other failure does. Each pause is logged.

#include <QString>
#include <QtGlobal>

#include <functional>

class InstallFs;

class InUseWait
{
public:
    // Time a run may spend waiting in all, across every file, unless set otherwise.
    static constexpr int defaultLimitMs = 30000;
    // The first pause, doubled after each try up to the longest.
    static constexpr int firstPauseMs = 100;
    static constexpr int longestPauseMs = 2000;

    explicit InUseWait(int limitMs = defaultLimitMs);

    // The clock (milliseconds, monotonic) and the pause. Tests give their own; by default the
    // steady clock and a sleep of the calling thread, which is the worker's.
    void setClock(std::function<qint64()> now, std::function<void(int)> pause);
    // Told true before a pause and false once a step that waited went through, so that the
    // window can say what the run is waiting for.
    void setNotify(std::function<void(bool waiting)> notify);

    // Whether an errno-style code of the file layer means that another program holds the file.
    static bool inUse(int error);

    // Takes step (an operation of fs on relative) and, while it fails with fs reporting the file
    // in use and time is left, pauses and takes it again. True when the step went through; false
    // with fs's error of the last try otherwise.
    bool attempt(InstallFs& fs, const QString& relative, const std::function<bool()>& step);

    // Milliseconds paused so far in this run.
    qint64 waited() const;
    // The relative path of the last attempt's step when it was given up on while its file was in
    // use; empty otherwise.
    QString stillInUse() const;

private:
    int limit;
    qint64 spent = 0;
    QString givenUp;
    std::function<qint64()> now;
    std::function<void(int)> pause;
    std::function<void(bool)> notify;
};
