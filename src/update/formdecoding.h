#pragma once

// Turns an encoded form of a file, fetched into update/ and checked against its own digest, into
// the file itself: the form is read piece by piece through a ZstdDecoder (a patch with the
// installed copy, mapped by its handle, as the frame's prefix) into the file's partial file in
// update/, hashed on the way, and only once the result has the file's size and digest does it
// take the file's own name, exactly as a plain download ends. The work is done in pieces, so
// that the caller can let the event loop run between them: the other transfers of the run go on
// meanwhile. Destroyed before it is done, it leaves nothing under the file's own name.

#include "platform/mappedfile.h"
#include "update/downloadfile.h"
#include "update/downloadtask.h"

#include <QFile>
#include <QString>

#include <memory>

class InstallFs;
class ZstdDecoder;

class FormDecoding
{
public:
    // The file to make, as the configuration gives it.
    struct Target {
        // Configuration path, "/dir/name".
        QString path;
        QString md5;
        QString sha256;
        qint64 size = -1;
        // No file of the release lies where this file's partial file would go.
        bool partialAllowed = true;
    };
    enum class State { Running, Done, Failed };

    // formPath is the form's path in the release ("/.forms/..."), which lies in update/ under
    // that path; patch tells whether it applies to the installed copy of target.path.
    FormDecoding(const QString& root, const Target& target, const QString& formPath, bool patch);
    ~FormDecoding();
    FormDecoding(const FormDecoding&) = delete;
    FormDecoding& operator=(const FormDecoding&) = delete;

    // Opens the form, maps the installed copy (for a patch) and creates the partial file.
    bool begin();
    // Decodes the next piece of the form. Done: the file lies checked under its own name in
    // update/ and the form is gone. Failed: nothing of the result is left, see reason().
    State step();
    // Why it failed, in English, for the log.
    QString reason() const { return why; }
    qint64 decodedBytes() const { return decoded; }
    // The form is of no further use: it is removed, whatever the outcome.
    void removeForm();

private:
    State fail(const QString& reason);
    bool write(const char* data, qint64 size);
    State complete();

    const QString root;
    const Target target;
    const QString formPath;
    const bool patch;
    std::unique_ptr<InstallFs> fs;
    QFile input;
    // The installed copy a patch applies to; its pages are the file's own, not the updater's.
    MappedFile base;
    DownloadTask task;
    DownloadFile output;
    std::unique_ptr<ZstdDecoder> decoder;
    qint64 decoded = 0;
    bool done = false;
    QString why;
};
