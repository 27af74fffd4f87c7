#pragma once

// The records of the installation journal (backup/.install-journal, see installjournal.h): the
// text the updater writes for each, and the reading of a journal found on the disk.
//
// A journal found at start-up is acted on with administrator rights, so it is taken only when
// every record has exactly a shape the updater itself writes; anything else rejects the whole
// journal, before anything is done from it. The shapes:
//   updater-install-journal 1          the first line
//   mkdir /backup                      only as the first record
//   mkdir <p>                          p a path of the installation (see below), /config, a path
//                                      /backup<p>, or a stash declared before
//   stash /backup/.install-stash-<yyyyMMdd-hhmmsszzz>[-<1..99>]
//   move <from> <to> <dev> <ino>       one of: <p> -> /backup<p> (a previous copy kept),
//                                      /update<p> -> <p> (a downloaded file installed),
//                                      <p> or /backup<p> -> <stash>/<N> (set aside, into a stash
//                                      declared before)
//   copied <from> <to> <dev> <ino> <dev> <ino>
//                                      the same shapes as a move
//   temp <dir>/.<name>.~<N>            beside <dir>/<name>, a target a move may have; or
//                                      /config/.UpdateCfg.xml.~<N>
//   config /config/.UpdateCfg.xml.~<N> /config/UpdateCfg.xml <dev> <ino>
//                                      once, after the temp record of that same file; followed by
//                                      nothing but commit
//   commit                             only right after the config record, and last
// A path of the installation <p> is one a release may list, or a folder of one (isSafeFilePath:
// not in update/, nothing Windows refuses), that is not /backup, the journal, a stash or a path
// in one, nor /config or /config/UpdateCfg.xml (in any letter case) or a path below it: the
// installed configuration changes through the config record alone. Every path is the
// percent-encoding the writer makes (nothing else encoded, upper-case hexadecimal digits, UTF-8),
// splits cleanly into InstallFs segments and has no final "/"; every number is plain decimal.
// A last line without its line end was cut short by a kill: it was never acted on and is left
// out.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace journal
{

enum class Kind { MakeDir, Stash, Move, Temp, Copied, Config, Commit };

struct Record {
    Kind kind = Kind::Commit;
    // mkdir, stash, temp: the one path; move, copied, config: the source.
    QString from;
    // move, copied, config: the target.
    QString to;
    // move and config: device and inode of the entry moved; copied: those of the source, then
    // those of its copy.
    quint64 numbers[4] = {0, 0, 0, 0};
};

// The first line of every journal, without its line end.
extern const char header[];

// A journal longer than this is not read. The updater writes about two hundred bytes per file
// of a release (its backup and its installation), so this holds the journal of a release of
// more than two million files.
constexpr qint64 maxBytes = qint64(512) * 1024 * 1024;

// The kind's word in the journal ("mkdir", "move", ...), and back; false for another word.
QByteArray kindWord(Kind kind);
bool kindOf(const QByteArray& word, Kind* kind);

// A path as a journal field.
QByteArray encodePath(const QString& path);
// The line the updater writes for a record, with its line end.
QByteArray line(const Record& record);
// The record of a kind word, paths and numbers as the writer passes them (see
// InstallJournal::record); false when they do not make one.
bool makeRecord(const QString& kind, const QStringList& paths, const QList<quint64>& numbers,
                Record* record);

// Reads a journal's text, checking every record against the shapes above. True with the
// records in order; false with no records and reason (a short English text naming the line)
// when the journal is not one the updater wrote. Touches no disk.
bool parse(const QByteArray& text, QList<Record>* records, QString* reason);

// The installed configuration, in the letter case the writer uses.
extern const char installedConfig[];
// Whether path is the installed configuration, its folder or a path below it, in any letter
// case (Windows ignores it).
bool namesInstalledConfig(const QString& path);

} // namespace journal
