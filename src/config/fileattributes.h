#pragma once

// What a configuration says about one file besides its md5 text. All are optional in the file:
// an older configuration carries none, and everything then works as it did without them.

#include <QString>
#include <QtGlobal>

struct FileAttributes {
    // Byte count of the file as published; -1 when not given. A download longer than this is
    // refused, and it stands in for the total when the server sends no length.
    qint64 size = -1;
    // Whether the file is executable in the release; installation gives it execute permission.
    bool executable = false;
    // The sha256 text as written; a signed release must give 64 hex digits for every file, and
    // the download is checked against it whenever it is one.
    QString sha256;

    bool operator==(const FileAttributes& other) const
    {
        return size == other.size && executable == other.executable && sha256 == other.sha256;
    }
    bool operator!=(const FileAttributes& other) const { return !(*this == other); }
};
