#pragma once

// The transfer of a file whose release offers encoded forms of it: the cheapest form that fits
// is fetched and decoded into the file, and when a form fails the next one is tried. A patch
// comes first when it applies to the installed copy (the SHA-256 of the installed bytes, read
// from disk by handle, equals the patch's base), then the compressed copy, and last the plain
// file, which is fetched exactly as a FileTransfer fetches it. Only the plain file's failure ends
// the transfer with an error.
//
// A form is fetched like a plain file into update/ under its own path in the release's reserved
// folder (its partial file and note name the form's URL, so that a cut-off form is continued),
// checked against the form's digest, then decoded by a FormDecoding into the file, which is
// checked against the file's own digest before it takes its name. A kill leaves the form (kept
// by its digest and decoded again next run) or partial bytes, never an unchecked file under the
// file's own name.

#include "config/fileattributes.h"
#include "config/fileform.h"
#include "update/filetransfer.h"

#include <QList>

#include <memory>

class FormDecoding;
class MappedFile;
class StreamHasher;

class EncodedTransfer : public FileTransfer
{
    Q_OBJECT

public:
    // forms are those the configuration lists for the file; server is the release's, which
    // the forms' URLs are made from like the file's. The file must have a digest to be checked
    // by (sha256, or an md5 digest).
    EncodedTransfer(const File& file, const QList<FileForm>& forms, const QString& server,
                    QNetworkAccessManager* manager, const QString& root, const Settings& settings,
                    QObject* parent = nullptr);
    ~EncodedTransfer() override;

    // Hashes the installed copy when a patch is offered, then fetches the first form that fits.
    void start() override;
    bool carries(const QNetworkReply* reply) const override;
    void slot_downloadFinished(QNetworkReply* reply) override;
    void slot_readyRead() override;

    // Whether a form is an option for a file with these digest texts: the result of decoding
    // must be checked by a digest of the file's own.
    static bool eligible(const QString& md5, const QString& sha256);
    // The bytes the file's transfer is expected to bring, which decide whether it may share a
    // connection: the compressed copy's size when a form will be fetched (a patch is smaller
    // still), otherwise the file's size (-1 when unknown).
    static qint64 expectedBytes(const QString& md5, const FileAttributes& attributes);

private:
    // Works through the installed copy's digest a piece at a time, then chooses.
    void hashStep();
    // The order in which the forms are tried, for the installed copy's digest (null: none).
    void choose(const Sha256Digest* installed);
    // Starts the next form, or the plain file when none is left.
    void nextForm();
    void formFetched(bool ok, const QString& error);
    void decodeStep();
    // Starts decoding the fetched form; called when this transfer's turn to decode comes.
    void beginDecoding();
    // Gives the decoder to the next transfer waiting for it, when this one had it.
    void endDecodeTurn();
    // Logs why the current form failed and goes on with the next.
    void fallBack(const QString& reason);
    void startPlain();
    QString localPath() const;
    template <typename Step> void later(Step step);

    const File plain;
    const QList<FileForm> offered;
    const QString server;
    QNetworkAccessManager* const manager;
    const QString root;
    const Settings settings;
    // The forms still to try, first first.
    QList<FileForm> pending;
    // The form being fetched or decoded.
    FileForm current;
    FileTransfer* formTransfer = nullptr;
    // The installed copy while its digest is worked out, and how far.
    std::unique_ptr<MappedFile> installed;
    std::unique_ptr<StreamHasher> hasher;
    qint64 hashed = 0;
    std::unique_ptr<FormDecoding> decoding;
    bool plainStarted = false;
};
