#pragma once

// State of the one download in flight: where it comes from, where it goes, how far it is, and
// the running checksum of what has been written so far. Held by value by the FileTransfer of that
// file.

#include "update/streamhasher.h"

#include <QPointer>
#include <QString>

class QFile;
class QNetworkReply;

class DownloadTask
{
public:
    DownloadTask();
    ~DownloadTask();
    DownloadTask(const DownloadTask&) = delete;
    DownloadTask& operator=(const DownloadTask&) = delete;

    QString url;
    // Guarded: the reply belongs to the network manager, which may be gone before the task.
    QPointer<QNetworkReply> reply;
    // Reused for every download; owned by the task.
    QFile* file;
    // Set when a local target could not be opened; arriving data is then dropped.
    bool aborted = false;
    QString path;
    qint64 bytesReceived = 0;
    qint64 bytesTotal = 0;
    // Bytes written to the local file so far.
    qint64 bytesWritten = 0;
    // The size the configuration gives for the file, or -1.
    qint64 expectedSize = -1;
    // Most bytes the download may bring; more ends the run.
    qint64 sizeLimit = -1;
    // Set when the stall timer gave up on the reply.
    bool stalled = false;

    // The download is written to its partial file, and renamed to its own name once checked.
    bool partial = false;
    // Bytes of the partial file a ranged request asks the server to continue; 0 for a request of
    // the whole file.
    qint64 resumeFrom = 0;
    // The If-Range value those bytes came with, or the one of this answer, which allows the
    // partial bytes to be continued once written to the note.
    QByteArray validator;
    // The note beside the partial file describes its bytes: a failure keeps them.
    bool infoSaved = false;
    // The answer's status and headers have been looked at.
    bool bodyStarted = false;
    // The server continues the partial file: a check that fails at the end fetches it whole.
    bool resumed = false;

    // Fed with every byte written, so that the file never has to be read back to be checked;
    // hashes on a thread of its own while the transfer goes on.
    StreamHasher hash;
    // Lower-case hex SHA-256 the file must have, or empty when the configuration gives none.
    QByteArray expectedSha256;
    // Lower-case hex MD5 the file must have, when there is no SHA-256 to check: empty then, and
    // when the md5 text is not a digest. The stronger digest alone judges the file.
    QByteArray expectedMd5;

    bool checked() const { return !expectedSha256.isEmpty() || !expectedMd5.isEmpty(); }
    StreamHasher::Algorithm algorithm() const
    {
        return expectedSha256.isEmpty() ? StreamHasher::Algorithm::Md5
                                        : StreamHasher::Algorithm::Sha256;
    }
    const QByteArray& expectedDigest() const
    {
        return expectedSha256.isEmpty() ? expectedMd5 : expectedSha256;
    }
};
