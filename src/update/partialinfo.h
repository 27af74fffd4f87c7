#pragma once

// The note kept beside the bytes of a download cut short: which file they are the beginning of
// (its URL and the digest texts the configuration gave) and which answer of the server they came
// from (its entity tag or Last-Modified date, sent back in If-Range). A later run continues the
// bytes only when the note is whole and names the same URL and digests; the server continues
// them only while the file it has is the one the note names.
//
// Text, one field a line, each percent-encoded:
//   updater-partial 1
//   url <url>
//   md5 <md5 text>
//   sha256 <sha256 text>
//   validator <If-Range value>

#include <QByteArray>
#include <QString>

class PartialInfo
{
public:
    QString url;
    QString md5;
    QString sha256;
    QByteArray validator;

    // A note larger than this is not one this program wrote.
    static constexpr qint64 maxBytes = 64 * 1024;

    QByteArray toBytes() const;
    // False for anything but a whole note with a validator.
    static bool fromBytes(const QByteArray& bytes, PartialInfo* info);
    // Whether both notes are about the same file of the same release.
    bool sameFile(const PartialInfo& other) const;
};
