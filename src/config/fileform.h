#pragma once

// An encoded form of a release's file, as its configuration lists it beside the plain file: the
// compressed copy (one zstd frame of the whole file) or a patch (one zstd frame made with earlier
// bytes of the file as its prefix). Forms lie in the release's reserved folder, named from the
// file's path and, for a patch, the SHA-256 of the bytes it applies to, so that the updater finds
// the patch for an installed copy by that copy's digest alone:
//   /.forms/<path>.zst              the compressed copy of /<path>
//   /.forms/<path>.<base>.patch     a patch from the bytes whose SHA-256 is <base> (lower-case hex)

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <array>

// A SHA-256 as bytes: a form record is held for most files of a release, so 32 bytes rather
// than 64 characters of text.
using Sha256Digest = std::array<quint8, 32>;

struct FileForm {
    enum class Kind : quint8 { Compressed, Patch };

    Kind kind = Kind::Compressed;
    // The byte count and SHA-256 of the form as served.
    qint64 size = 0;
    Sha256Digest sha256{};
    // A patch's base: the SHA-256 of the bytes it applies to. Unused for the compressed copy.
    Sha256Digest base{};

    bool operator==(const FileForm& other) const
    {
        return kind == other.kind && size == other.size && sha256 == other.sha256 &&
               (kind == Kind::Compressed || base == other.base);
    }
    bool operator!=(const FileForm& other) const { return !(*this == other); }
};

// The reserved folder of a release, "/.forms": no file of a release lies in it, in any letter case.
extern const QString formsFolder;

// Where form lies for the file at path ("/dir/name"), relative to the release like path itself.
QString formPath(const QString& path, const FileForm& form);

// 64 hexadecimal digits (either case) into digest; false for anything else.
bool parseSha256Hex(QStringView text, Sha256Digest* digest);
// Lower-case hexadecimal, as in a patch's name.
QString sha256Hex(const Sha256Digest& digest);
