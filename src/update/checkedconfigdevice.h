#pragma once

// A configuration file of the installation read once, as the reader parses it: the bytes pass
// through on their way to the parser, are counted against a bound and go into a SHA-256, so that
// exactly the bytes parsed can be recognised later without being held in memory. The file is
// opened through the installation's file layer: never through a link, only a regular file, and
// a fifo never holds the open.

#include <QCryptographicHash>
#include <QFile>
#include <QIODevice>

class InstallFs;

class CheckedConfigDevice : public QIODevice
{
public:
    // Opens relative through fs for reading; false with errorCode() (errno-style: ENOENT when
    // there is none, EFBIG past limit, ELOOP for a link on the way) when it cannot be.
    bool open(InstallFs& fs, const QString& relative, qint64 limit);
    int errorCode() const;
    // Whether reading went past the bound (the file grew while it was read); the parser then saw
    // a document cut short.
    bool exceeded() const;
    // SHA-256 of every byte read so far.
    QByteArray digest() const;

    bool isSequential() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    QFile file;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    qint64 bound = 0;
    qint64 total = 0;
    int code = 0;
    bool past = false;
};
