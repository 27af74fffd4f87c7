#pragma once

// What a configuration says about one file besides its md5 text. All are optional in the file:
// an older configuration carries none, and everything then works as it did without them.

#include "config/fileformlist.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <utility>

struct FileAttributes {
    FileAttributes(qint64 size = -1, bool executable = false, QString sha256 = QString(),
                   FileFormList forms = FileFormList())
        : size(size), executable(executable), sha256(std::move(sha256)), forms(std::move(forms))
    {
    }

    // Byte count of the file as published; -1 when not given. A download longer than this is
    // refused, and it stands in for the total when the server sends no length.
    qint64 size = -1;
    // Whether the file is executable in the release; installation gives it execute permission.
    bool executable = false;
    // The sha256 text as written; a signed release must give 64 hex digits for every file, and
    // the download is checked against it whenever it is one.
    QString sha256;
    // The encoded forms the release offers for the file, in document order: at most one
    // compressed copy and at most one patch per base. Empty (one null pointer) for a file that
    // has none.
    FileFormList forms;

    // The compressed copy, or null.
    const FileForm* compressedForm() const
    {
        for (const FileForm& form : forms) {
            if (form.kind == FileForm::Kind::Compressed)
                return &form;
        }
        return nullptr;
    }
    // The patch that applies to bytes whose SHA-256 is base, or null.
    const FileForm* patchFrom(const Sha256Digest& base) const
    {
        for (const FileForm& form : forms) {
            if (form.kind == FileForm::Kind::Patch && form.base == base)
                return &form;
        }
        return nullptr;
    }

    bool operator==(const FileAttributes& other) const
    {
        return size == other.size && executable == other.executable && sha256 == other.sha256 &&
               forms == other.forms;
    }
    bool operator!=(const FileAttributes& other) const { return !(*this == other); }
};
