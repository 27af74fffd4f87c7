#pragma once

// Every create, move, remove and mode change below the installation directory goes through this
// unit. The updater runs with administrator rights over a folder that others may be able to
// write, so below the installation directory it never follows a link: on POSIX each operation
// walks the relative path from a handle on the installation directory, opening each folder with
// O_NOFOLLOW | O_DIRECTORY, and acts with the *at calls on the last folder's handle. A link (or,
// on Windows, a junction) met where a folder is needed makes the operation fail with ELOOP.
//
// Paths given to it are relative to the installation directory, "/"-separated, with or without a
// leading "/" (configuration paths begin with one). Empty segments, "." and "..", and segments
// holding a control character (U+0000-U+001F, U+007F-U+009F) are refused with EINVAL by every
// operation; on Windows also segments holding \ : * ? " < > | or ending in a dot or a space.
// On Windows a segment that reaches an entry under another name (an 8.3 short name such as
// "UPDATE~1.XML", a name with a final dot or space) is refused with EINVAL: every file has one
// name here, whatever the file system allows.
// Each instance keeps the error of its last failed operation; use one instance per thread.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

class MappedFile;

class InstallFs
{
public:
    enum class Kind { Missing, File, Dir, Link, Other };

    // What lstat says about one entry. Device and inode identify it: a rename keeps both, a copy
    // gets new ones, so they tell whether a move has happened.
    struct Entry {
        Kind kind = Kind::Missing;
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        // Permission bits (07777) of a file or folder; never a link's target's.
        uint mode = 0;
        // Owner's user id and number of names (hard links); 0 and 1 on Windows.
        uint owner = 0;
        quint64 links = 1;

        bool exists() const { return kind != Kind::Missing; }
        bool sameIdentity(quint64 dev, quint64 ino) const
        {
            return exists() && device == dev && inode == ino;
        }
    };

    // Opens the installation directory once; every later operation is relative to that handle.
    // rootDir itself may be reached through links: it is the directory the program was given.
    explicit InstallFs(const QString& rootDir);
    ~InstallFs();
    InstallFs(const InstallFs&) = delete;
    InstallFs& operator=(const InstallFs&) = delete;

    bool isValid() const;
    QString rootPath() const;
    // rootPath() + "/" + the relative path without its leading "/", for messages and the log.
    QString absolutePath(const QString& relative) const;

    // errno-style code of the last failure (ELOOP for a link on the way) and its text.
    int lastError() const;
    QString errorString() const;

    // The entry at relative, not following a link there. Kind::Missing when it does not exist;
    // false (with lastError()) when a folder on the way is missing, a link or not a folder.
    bool entry(const QString& relative, Entry* result);
    // The first of the folders leading to relative (not relative itself) that is a link, as a
    // relative path with a leading "/"; empty when there is none.
    QString linkOnTheWay(const QString& relative);

    // Creates one folder; its parent must exist.
    bool makeDir(const QString& relative, uint mode = 0777);
    // Creates the folder and every missing one above it. created (when given) gets the folders
    // created, outermost first. A link or a file on the way fails with ELOOP / ENOTDIR.
    bool makePath(const QString& relative, QStringList* created = nullptr);
    // Removes a file or a link (as a link), never a folder.
    bool removeFile(const QString& relative);
    // Removes an empty folder.
    bool removeEmptyDir(const QString& relative);
    // Removes a tree: files and links (as links) removed, folders walked through handles opened
    // without following links, so an entry swapped for a link while the walk runs is removed as a
    // link and nothing outside is touched. True when it is gone or never existed; a link given
    // as the tree is removed as a link.
    bool removeTree(const QString& relative);
    // Renames from to to. replace false: fails with EEXIST when to exists (atomically where the
    // system allows it). A move across file systems fails with EXDEV.
    bool rename(const QString& from, const QString& to, bool replace = false);
    // Whether the entry at relative could be renamed or removed now as far as other programs
    // are concerned: false with EBUSY when one holds it open so that it cannot (on Windows, an
    // open with delete access meets a sharing violation: it was opened without delete
    // sharing). On POSIX nobody's open file stops a rename, and only the fault hook says so.
    // True for a missing entry; false with the error when a folder on the way cannot be passed.
    bool checkDeletable(const QString& relative);
    // Sets the permission bits of a file or folder; fails on a link.
    bool setMode(const QString& relative, uint mode);

    // Creates a new file for writing, exclusively and never through a link; returns its
    // descriptor (the caller closes it) or -1.
    int createFile(const QString& relative, uint mode = 0666);
    // Opens an existing regular file for reading, or for reading and writing, never through a
    // link and never creating it; returns its descriptor (the caller closes it) or -1. A link,
    // a folder or any other kind of entry fails.
    // opened (when given) describes the file opened, from its descriptor.
    int openFile(const QString& relative, bool writable = false, Entry* opened = nullptr);
    // Maps the regular file at relative read-only (opened as openFile() does: never through a
    // link, never waiting on a fifo); the descriptor is closed once the file is mapped. opened
    // (when given) describes the file, as for openFile().
    bool mapFile(const QString& relative, MappedFile* mapped, Entry* opened = nullptr);
    // Closes a descriptor openFile() handed out, on either platform.
    static void closeDescriptor(int fd);
    // Whether a file found below the installation, rather than created by this program, may be
    // taken as if it had created it: owned by the user the program runs as, with no other name
    // (a hard link someone keeps elsewhere), writable by nobody else and without set-id bits.
    // Always true on Windows, where the folder's access control decides.
    static bool adoptable(const Entry& file);
    // Whether the entry at relative, reached without a link, is the updater's own and of the kind
    // asked for (Kind::Dir for a folder, any other for a regular file): nobody but the updater's
    // own account can have made or change it. On POSIX: owned by the user the program runs as,
    // no group or other write bit; a file also without set-id bits and with one name. On Windows:
    // not a link or junction, a file with one name, owned by Administrators, SYSTEM,
    // TrustedInstaller or this process's default owner, and no access control entry granting any
    // other account a right to change it. False, with reason (a short English text) set,
    // otherwise. A held folder is judged through its handle.
    bool updatersOwn(const QString& relative, Kind kind, QString* reason = nullptr);
    // Takes from everyone but the owner (and, on Windows, Administrators and SYSTEM) the right to
    // change the file or folder at relative: on POSIX the group and other write bits are
    // cleared; on Windows its access control list is replaced by one of its own, not inherited,
    // that lets the users read.
    bool closeToOthers(const QString& relative);
    // Copies the file from into a new file to, created exclusively: every write checked, the size
    // compared with the source's, the data flushed to the disk and the descriptor closed, the
    // source's permission bits applied. On failure the partial file is removed. to is the final
    // name: callers that replace something copy to a temporary name and rename.
    bool copyFile(const QString& from, const QString& to);
    // Creates relative exclusively (never through a link) with the permission bits mode, whatever
    // the umask, writes bytes, flushes them to the disk and closes it; written (when given)
    // describes the new file. On failure nothing is left under that name.
    bool writeNewFile(const QString& relative, const QByteArray& bytes, uint mode = 0644,
                      Entry* written = nullptr);
    // Writes bytes to relative in one step: a temporary file beside it, flushed, renamed over it,
    // and the folder flushed.
    bool writeFileAtomically(const QString& relative, const QByteArray& bytes);
    // Appends bytes to an existing file (never through a link) and flushes them to the disk.
    bool appendDurably(const QString& relative, const QByteArray& bytes);
    // Reads a whole regular file, never through a link and never waiting on a fifo; false when
    // it cannot be read, when it is not a regular file (EISDIR, EINVAL) or when it holds more
    // than limit bytes (EFBIG; below 0, no bound).
    bool readFile(const QString& relative, QByteArray* bytes, qint64 limit = -1);
    // Flushes a folder's entries (the renames, creations and removals in it) to the disk.
    bool syncDir(const QString& relative);
    // Flushes everything written on the installation's file system.
    bool syncAll();

    // Keeps a handle on the folder relative, reached from the root without following a link, so
    // that the operations on its entries that follow act on that handle instead of walking from
    // the root again: a download writes a handful of entries per file into one folder. Each call
    // walks afresh, so whoever holds a folder while working through its files checks it again at
    // every file. The handle is let go by releaseFolder(), by a removal or rename of the folder
    // or of one above it through this instance, and with the instance. On Windows nothing is
    // held, since every operation checks its path there; the call only tells whether relative is
    // a folder reached without a link or junction on the way.
    bool holdFolder(const QString& relative);
    void releaseFolder();
    // Whether relative is the folder held.
    bool holds(const QString& relative) const;

    // Splits a relative path into its segments; false (and no segments) for a segment that is
    // empty, "." or "..", or that holds a character refused above.
    static bool split(const QString& relative, QStringList* segments);
    // relative joined to a segment, with one "/" between and a leading "/".
    static QString join(const QString& relative, const QString& name);
    // The parent of relative ("" for a top-level entry) and its last segment.
    static QString parentOf(const QString& relative);
    static QString nameOf(const QString& relative);

    // Test seam: called by removeTree() with the relative path of each folder after it has been
    // listed and before its entries are removed, so that a test can swap an entry in between.
    static void setListedHook(std::function<void(const QString&)> hook);
    // Test seam: asked before each rename ("rename", source), file removal ("remove", path) and
    // check of a file that is to be replaced ("delete check", path); a non-zero errno it returns
    // makes the operation fail with it, as a file held open by another program (EBUSY) makes it
    // fail on Windows.
    static void setFaultHook(std::function<int(const QString&, const QString&)> hook);

private:
    struct Parent;
    // Opens the folder holding relative's last segment; -1 on failure. On Windows a path is
    // checked instead, and the handle is not used.
    bool openParent(const QString& relative, bool create, Parent* parent);
    // Opens the folder name in current without following a link, creating it when asked; -1
    // (with the error kept, ELOOP for a link) on failure.
    int openDirAt(int current, const QByteArray& name, bool create);
    bool fail(int error);
    bool injected(const char* operation, const QString& relative);
    // The platform's half of checkDeletable() for an entry that exists.
    bool deletableHere(const QString& relative);
    // Calls the listed hook, when one is set.
    static void reportListed(const QString& relative);
    bool removeTreeAt(int parentFd, const QByteArray& name, const QString& relative);
    // Lets the held folder go when relative is it or one of the folders above it.
    void releaseFolderUnder(const QString& relative);

    QString root;
    int rootFd = -1;
    int error = 0;
    // The held folder: its segments joined by "/" without a leading one (empty when none), and,
    // on POSIX, its handle.
    QString heldDir;
    int heldFd = -1;
};
