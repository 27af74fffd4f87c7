// Fuzzes the reading of the installation journal (journal::parse) with journals as they lie on
// the disk. A journal found at start-up is acted on with administrator rights; what parse accepts
// must therefore be what the updater writes. Checked here another way for every accepted
// journal: the writer's text of its records is the journal (up to a last line cut short); every
// path splits cleanly into segments of the installation; the installed configuration is named by
// the config record alone; every move and copy goes between a path and its own counterpart
// (backup/, update/ or a stash declared before); config and commit come last, in that order; and
// the journal without its last record is accepted too, as a kill may leave it.

#include "fuzzsupport.h"

#include "platform/installfs.h"
#include "update/journalrecords.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace
{

// A path of the installation written another way: segments of anything but "/" and control
// characters, none "." or "..".
bool insideTheInstallation(const QString& path)
{
    static const QRegularExpression shape(QStringLiteral("^(/[^/\\p{Cc}]+)+\\z"));
    if (!shape.match(path).hasMatch())
        return false;
    for (const QString& segment : path.mid(1).split(QLatin1Char('/'))) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    }
    QStringList segments;
    return InstallFs::split(path, &segments) && !segments.isEmpty();
}

// The installed configuration, its folder or below it, compared in two case mappings.
bool namesTheConfiguration(const QString& path)
{
    for (const QString& folded : {path.toCaseFolded(), path.toUpper().toLower()}) {
        if (folded == QLatin1String("/config") ||
            folded == QLatin1String("/config/updatecfg.xml") ||
            folded.startsWith(QLatin1String("/config/updatecfg.xml/")))
            return true;
    }
    return false;
}

bool below(const QString& path, const QString& folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

QStringList pathsOf(const journal::Record& r)
{
    switch (r.kind) {
    case journal::Kind::MakeDir:
    case journal::Kind::Stash:
    case journal::Kind::Temp:
        return {r.from};
    case journal::Kind::Move:
    case journal::Kind::Copied:
    case journal::Kind::Config:
        return {r.from, r.to};
    case journal::Kind::Commit:
        break;
    }
    return {};
}

void checkAccepted(const QByteArray& text, const QList<journal::Record>& records)
{
    QByteArray written = QByteArray(journal::header) + '\n';
    for (const journal::Record& r : records)
        written += journal::line(r);
    fuzz::check(written == text.left(text.lastIndexOf('\n') + 1),
                "accepted journal is not the writer's text of its records");

    static const QRegularExpression stashName(
        QStringLiteral("^/backup/\\.install-stash-[0-9]{8}-[0-9]{9}(-[1-9][0-9]?)?\\z"));
    static const QRegularExpression stashEntry(
        QStringLiteral("^(/backup/\\.install-stash-[^/]+)/(0|[1-9][0-9]*)\\z"));
    QSet<QString> stashes;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const journal::Record& r = records.at(i);
        for (const QString& path : pathsOf(r)) {
            fuzz::check(insideTheInstallation(path), "path outside the installation", path);
            if (r.kind != journal::Kind::Config)
                fuzz::check(!namesTheConfiguration(path) ||
                                (r.kind == journal::Kind::MakeDir &&
                                 path == QLatin1String("/config")),
                            "installed configuration named outside a config record", path);
            // update/ is only ever the source of an installation's move.
            if (below(path, QStringLiteral("/update")) || path == QLatin1String("/update"))
                fuzz::check((r.kind == journal::Kind::Move || r.kind == journal::Kind::Copied) &&
                                path == r.from && r.from == QLatin1String("/update") + r.to,
                            "update/ named outside an installation's move", path);
        }
        switch (r.kind) {
        case journal::Kind::Stash:
            fuzz::check(stashName.match(r.from).hasMatch(), "stash of another name", r.from);
            stashes.insert(r.from);
            break;
        case journal::Kind::Move:
        case journal::Kind::Copied: {
            const QRegularExpressionMatch entry = stashEntry.match(r.to);
            const bool kept = r.to == QLatin1String("/backup") + r.from &&
                              !below(r.from, QStringLiteral("/update"));
            const bool installed = r.from == QLatin1String("/update") + r.to;
            const bool setAside = entry.hasMatch() && stashes.contains(entry.captured(1));
            fuzz::check(kept || installed || setAside, "move between paths that are not counterparts",
                        r.from + QLatin1String(" -> ") + r.to);
            break;
        }
        case journal::Kind::Config:
            fuzz::check(r.to == QLatin1String("/config/UpdateCfg.xml") &&
                            r.from.startsWith(QLatin1String("/config/.UpdateCfg.xml.~")),
                        "config of another shape", r.from);
            fuzz::check(i + 1 == records.size() ||
                            (i + 2 == records.size() &&
                             records.at(i + 1).kind == journal::Kind::Commit),
                        "records after config");
            break;
        case journal::Kind::Commit:
            fuzz::check(i + 1 == records.size() && i > 0 &&
                            records.at(i - 1).kind == journal::Kind::Config,
                        "commit not right after config, or not last");
            break;
        case journal::Kind::MakeDir:
            if (r.from.compare(QLatin1String("/backup"), Qt::CaseInsensitive) == 0)
                fuzz::check(i == 0, "backup/ made after the first record");
            break;
        case journal::Kind::Temp:
            fuzz::check(InstallFs::nameOf(r.from).startsWith(QLatin1Char('.')),
                        "temp of another name", r.from);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text = fuzz::bytesOf(data, size);
    QList<journal::Record> records;
    QString reason;
    if (!journal::parse(text, &records, &reason)) {
        fuzz::check(records.isEmpty() && !reason.isEmpty(), "refused without a reason");
        return 0;
    }
    checkAccepted(text, records);
    // A kill one record earlier leaves a journal that is taken as well.
    if (!records.isEmpty()) {
        const QByteArray complete = text.left(text.lastIndexOf('\n') + 1);
        const QByteArray shorter = complete.left(complete.lastIndexOf('\n', complete.size() - 2) + 1);
        QList<journal::Record> fewer;
        fuzz::check(journal::parse(shorter, &fewer, &reason) &&
                        fewer.size() == records.size() - 1,
                    "journal one record shorter refused", reason);
    }
    return 0;
}
