#pragma once

// The one place that shows a modal message box. The configuration reader (from the worker thread)
// and the controller (from the GUI thread) show their boxes through the presenter installed here;
// production installs a presenter that shows a QMessageBox on the GUI thread, tests install a
// recorder so that nothing ever waits on a box.

#include <QString>

class MessagePresenter
{
public:
    virtual ~MessagePresenter();

    // Shows text modally and returns once the user has closed it. May be called from any thread.
    virtual void show(const QString& text) = 0;

    // Called by the owner of the worker thread just before it waits for that thread to end: a
    // worker waiting on a box must then be released without one, or that wait would never end.
    // The default does nothing.
    virtual void beginShutdown();

    // The installed presenter, or null when none is installed (then boxes are only logged).
    static MessagePresenter* current();
    // Installs presenter (not owned); null uninstalls. Returns the previous one.
    static MessagePresenter* install(MessagePresenter* presenter);

    // Shows text through the installed presenter; without one, writes it to the log.
    static void present(const QString& text);

    // What stands for a box nobody can see: one "message:" line in the log and the text on
    // standard error, in UTF-8 (on a Windows console, as wide characters). Returns at once.
    static void writeOut(const QString& text);
};
