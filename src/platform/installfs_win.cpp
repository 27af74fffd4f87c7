#include "platform/installfs.h"

#include "platform/winfileerror.h"
#include "platform/winnames.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

// The Windows half of InstallFs: paths, with every segment below the installation checked not to
// be a link or a junction before it is used. The checks and the use are separate steps, so a race
// between them is possible here; the installation folder's access control is what keeps others
// out. What both halves share is in installfs.cpp.

struct InstallFs::Parent {
    QString dir;
    QString name;

    QString path() const { return dir + QLatin1Char('/') + name; }
};

namespace
{

bool isReparse(const QFileInfo& info)
{
    return info.isSymLink() || info.isJunction() || info.isShortcut();
}

} // namespace

InstallFs::InstallFs(const QString& rootDir) : root(QDir::fromNativeSeparators(rootDir))
{
    while (root.size() > 3 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    rootFd = QFileInfo(root).isDir() ? 0 : -1;
    if (rootFd < 0)
        error = ENOENT;
}

InstallFs::~InstallFs() = default;

bool InstallFs::holdFolder(const QString& relative)
{
    // Nothing is held here, but the answer is the same: whether relative is a folder reached
    // without a link or junction on the way.
    releaseFolder();
    Entry found;
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    if (!entry(relative, &found))
        return false;
    if (found.kind == Kind::Dir) {
        heldDir = segments.join(QLatin1Char('/'));
        return true;
    }
    return fail(found.kind == Kind::Missing ? ENOENT : found.kind == Kind::Link ? ELOOP : ENOTDIR);
}

void InstallFs::releaseFolder()
{
    heldDir.clear();
}

bool InstallFs::isValid() const
{
    return rootFd >= 0;
}

bool InstallFs::openParent(const QString& relative, bool create, Parent* parent)
{
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    QString dir = root;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        dir += QLatin1Char('/') + segments.at(i);
        const QFileInfo info(dir);
        if (isReparse(info))
            return fail(ELOOP);
        if (!info.exists()) {
            if (!create || !QDir().mkdir(dir))
                return fail(ENOENT);
        } else if (winnames::reachedUnderAnotherName(dir, segments.at(i))) {
            return fail(EINVAL);
        } else if (!info.isDir()) {
            return fail(ENOTDIR);
        }
    }
    if (winnames::reachedUnderAnotherName(dir + QLatin1Char('/') + segments.last(),
                                          segments.last()))
        return fail(EINVAL);
    parent->dir = dir;
    parent->name = segments.last();
    return true;
}

bool InstallFs::entry(const QString& relative, Entry* result)
{
    *result = Entry();
    QString path = root;
    QStringList segments;
    if (!split(relative, &segments))
        return fail(EINVAL);
    if (!segments.isEmpty()) {
        Parent parent;
        if (!openParent(relative, false, &parent))
            return error == ENOENT || error == ENOTDIR;
        path = parent.path();
    }
    const QFileInfo info(path);
    if (isReparse(info))
        result->kind = Kind::Link;
    else if (!info.exists())
        return true;
    else if (info.isDir())
        result->kind = Kind::Dir;
    else
        result->kind = Kind::File;
    struct _stat64 st;
    if (result->kind != Kind::Link &&
        _wstat64(reinterpret_cast<const wchar_t*>(path.utf16()), &st) == 0) {
        result->device = quint64(st.st_dev);
        result->inode = quint64(info.fileTime(QFileDevice::FileBirthTime).toMSecsSinceEpoch());
        result->size = qint64(st.st_size);
        result->mode = uint(st.st_mode & 0777);
    }
    return true;
}

bool InstallFs::makeDir(const QString& relative, uint)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    if (QFileInfo::exists(path) || isReparse(QFileInfo(path)))
        return fail(EEXIST);
    return QDir().mkdir(path) || fail(EACCES);
}

bool InstallFs::removeFile(const QString& relative)
{
    if (injected("remove", relative))
        return false;
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    const QFileInfo info(path);
    if (isReparse(info))
        return QFile::remove(path) || QDir().rmdir(path) || fail(EACCES);
    if (info.isDir())
        return fail(EISDIR);
    return QFile::remove(path) || fail(info.exists() ? EACCES : ENOENT);
}

bool InstallFs::removeEmptyDir(const QString& relative)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    if (isReparse(QFileInfo(path)))
        return fail(ENOTDIR);
    return QDir().rmdir(path) || fail(QFileInfo::exists(path) ? ENOTEMPTY : ENOENT);
}

bool InstallFs::removeTree(const QString& relative)
{
    Entry found;
    if (!entry(relative, &found))
        return error == ENOENT;
    if (found.kind == Kind::Missing)
        return true;
    if (found.kind != Kind::Dir)
        return removeFile(relative);
    const QDir dir(absolutePath(relative));
    const QStringList names = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    reportListed(relative);
    for (const QString& name : names) {
        if (!removeTree(join(relative, name)))
            return false;
    }
    return removeEmptyDir(relative);
}

bool InstallFs::rename(const QString& from, const QString& to, bool replace)
{
    if (injected("rename", from))
        return false;
    Parent source;
    Parent target;
    if (!openParent(from, false, &source) || !openParent(to, false, &target))
        return false;
    const QString sourcePath = QDir::toNativeSeparators(source.path());
    const QString targetPath = QDir::toNativeSeparators(target.path());
    // One call that replaces the target in place (or refuses when it exists) and never copies:
    // another volume fails as EXDEV does on POSIX.
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (replace)
        flags |= MOVEFILE_REPLACE_EXISTING;
    if (::MoveFileExW(reinterpret_cast<const wchar_t*>(sourcePath.utf16()),
                      reinterpret_cast<const wchar_t*>(targetPath.utf16()), flags))
        return true;
    const DWORD code = ::GetLastError();
    // Access denied is also what a file open elsewhere without delete sharing can give, the
    // source or a target to be replaced: the same open a rename makes tells the two apart.
    if (code == ERROR_ACCESS_DENIED &&
        (winfileerror::deleteOpenError(sourcePath) == EBUSY ||
         (replace && winfileerror::deleteOpenError(targetPath) == EBUSY)))
        return fail(EBUSY);
    return fail(winfileerror::errnoOf(code));
}

bool InstallFs::deletableHere(const QString& relative)
{
    const int code = winfileerror::deleteOpenError(absolutePath(relative));
    return code == 0 || fail(code);
}

bool InstallFs::setMode(const QString&, uint)
{
    return true;
}

int InstallFs::createFile(const QString& relative, uint)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    const QString path = parent.path();
    const int fd = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                          _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        fail(errno);
    return fd;
}

bool InstallFs::adoptable(const Entry& file)
{
    return file.kind == Kind::File;
}

namespace
{

// The accounts trusted with the updater's own entries: Administrators, SYSTEM, TrustedInstaller
// (the owner of Program Files, whose access there is inherited), the default owner of what this
// process creates (Administrators for an elevated process) and the user the process runs as,
// which is what the user id is on POSIX: whoever runs as that user could act as the updater
// anyway. Where an elevated updater's files are owned by Administrators, the access lists are
// what keep the same user's programs that are not elevated out.
struct TrustedSids {
    std::vector<QByteArray> sids;

    void add(PSID sid)
    {
        if (sid && ::IsValidSid(sid))
            sids.emplace_back(reinterpret_cast<const char*>(sid), int(::GetLengthSid(sid)));
    }
    bool contains(PSID sid) const
    {
        for (const QByteArray& known : sids) {
            if (::EqualSid(sid, PSID(known.constData())))
                return true;
        }
        return false;
    }
};

const TrustedSids& trustedSids()
{
    static const TrustedSids trusted = [] {
        TrustedSids t;
        // OWNER RIGHTS: what the owner, itself one of these, is granted.
        for (const WELL_KNOWN_SID_TYPE type :
             {WinBuiltinAdministratorsSid, WinLocalSystemSid, WinCreatorOwnerRightsSid}) {
            BYTE buffer[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof buffer;
            if (::CreateWellKnownSid(type, nullptr, buffer, &size))
                t.add(PSID(buffer));
        }
        PSID installer = nullptr;
        if (::ConvertStringSidToSidW(
                L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
            t.add(installer);
            ::LocalFree(installer);
        }
        HANDLE token = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            ::GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
            std::vector<BYTE> info(size);
            if (size > 0 && ::GetTokenInformation(token, TokenOwner, info.data(), size, &size))
                t.add(reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner);
            size = 0;
            ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            std::vector<BYTE> user(size);
            if (size > 0 && ::GetTokenInformation(token, TokenUser, user.data(), size, &size))
                t.add(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
            ::CloseHandle(token);
        }
        return t;
    }();
    return trusted;
}

// Whether an access control list lets anyone but the trusted accounts change the entry: write
// or append data, attributes, extended attributes, delete it or its children, change its
// access or owner. A missing list grants everything; an allowing entry of a kind not judged
// here counts as granting.
bool othersMayWrite(PACL dacl)
{
    if (!dacl)
        return true;
    ACL_SIZE_INFORMATION info;
    if (!::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation))
        return true;
    const ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            return true;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue; // applies to what is created inside, not to the entry
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE: {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            if ((allowed->Mask & writes) &&
                !trustedSids().contains(PSID(const_cast<DWORD*>(&allowed->SidStart))))
                return true;
            continue;
        }
        default:
            return true;
        }
    }
    return false;
}

} // namespace

bool InstallFs::updatersOwn(const QString& relative, Kind kind, QString* reason)
{
    auto refuse = [reason](const char* why) {
        if (reason)
            *reason = QString::fromLatin1(why);
        return false;
    };
    Parent parent;
    if (!openParent(relative, false, &parent))
        return refuse(error == ELOOP ? "link on the way" : "cannot be looked at");
    const QString path = QDir::toNativeSeparators(parent.path());
    // One handle for every question, on the entry itself, never on a link's target.
    const HANDLE handle = ::CreateFileW(
        reinterpret_cast<const wchar_t*>(path.utf16()), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail(ENOENT);
        return refuse("cannot be looked at");
    }
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool described =
        ::GetFileInformationByHandle(handle, &info) &&
        ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
    ::CloseHandle(handle);
    const char* why = nullptr;
    if (!described)
        why = "cannot be looked at";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = "a link";
    else if (kind == Kind::Dir && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        why = "not a folder";
    else if (kind != Kind::Dir && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        why = "not a regular file";
    else if (kind != Kind::Dir && info.nNumberOfLinks != 1)
        why = "more than one name";
    else if (!owner || !trustedSids().contains(owner))
        why = "owned by another user";
    else if (othersMayWrite(dacl))
        why = "writable by others";
    if (descriptor)
        ::LocalFree(descriptor);
    if (why) {
        fail(EACCES);
        return refuse(why);
    }
    return true;
}

bool InstallFs::closeToOthers(const QString& relative)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = QDir::toNativeSeparators(parent.path());
    if (isReparse(QFileInfo(path)))
        return fail(ELOOP);
    // Full control for Administrators, SYSTEM and the owner, reading for the users; inherited by
    // what is made inside, nothing inherited from above.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;OW)(A;OICI;GRGX;;;BU)",
            SDDL_REVISION_1, &descriptor, nullptr))
        return fail(EACCES);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD result = ERROR_INVALID_ACL;
    if (::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present)
        result = ::SetNamedSecurityInfoW(
            const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(path.utf16())), SE_FILE_OBJECT,
            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
            nullptr);
    ::LocalFree(descriptor);
    return result == ERROR_SUCCESS || fail(EACCES);
}

bool InstallFs::writeNewFile(const QString& relative, const QByteArray& bytes, uint, Entry* written)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(QFileInfo::exists(path) ? EEXIST : EACCES);
    if (file.write(bytes) != bytes.size() || !file.flush() || _commit(file.handle()) != 0) {
        file.close();
        QFile::remove(path);
        return fail(EIO);
    }
    file.close();
    return !written || entry(relative, written);
}

int InstallFs::openFile(const QString& relative, bool writable, Entry* opened)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    const QString path = parent.path();
    const QFileInfo info(path);
    if (isReparse(info)) {
        fail(ELOOP);
        return -1;
    }
    if (!info.isFile()) {
        fail(info.exists() ? EISDIR : ENOENT);
        return -1;
    }
    const int fd = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                          (writable ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        fail(errno);
        return -1;
    }
    if (opened) {
        *opened = Entry();
        opened->kind = Kind::File;
        opened->size = info.size();
    }
    return fd;
}

bool InstallFs::copyFile(const QString& from, const QString& to)
{
    Parent source;
    Parent target;
    if (!openParent(from, false, &source) || !openParent(to, false, &target))
        return false;
    const QString sourcePath = source.path();
    const QString targetPath = target.path();
    if (isReparse(QFileInfo(sourcePath)))
        return fail(ELOOP);
    QFile in(sourcePath);
    QFile out(targetPath);
    if (QFileInfo::exists(targetPath))
        return fail(EEXIST);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(EACCES);
    qint64 copied = 0;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.close();
            QFile::remove(targetPath);
            return fail(ENOSPC);
        }
        copied += chunk.size();
    }
    // flush() only empties Qt's buffer: _commit() puts the bytes on the disk.
    if (copied != in.size() || !out.flush() || out.size() != copied || _commit(out.handle()) != 0) {
        out.close();
        QFile::remove(targetPath);
        return fail(EIO);
    }
    out.close();
    return out.error() == QFileDevice::NoError || fail(EIO);
}

bool InstallFs::writeFileAtomically(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    QSaveFile file(parent.path());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return fail(EIO);
    return file.commit() || fail(EIO);
}

bool InstallFs::appendDurably(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    if (isReparse(QFileInfo(path)))
        return fail(ELOOP);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
        return fail(EACCES);
    if (file.write(bytes) != bytes.size() || !file.flush())
        return fail(EIO);
    _commit(file.handle());
    return true;
}

bool InstallFs::readFile(const QString& relative, QByteArray* bytes, qint64 limit)
{
    bytes->clear();
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.path();
    const QFileInfo info(path);
    if (isReparse(info))
        return fail(ELOOP);
    if (!info.isFile())
        return fail(info.exists() ? EISDIR : ENOENT);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(ENOENT);
    if (limit >= 0 && file.size() > limit)
        return fail(EFBIG);
    // One byte past the bound tells a file that grew while it was read.
    *bytes = limit >= 0 ? file.read(limit + 1) : file.readAll();
    if (limit >= 0 && bytes->size() > limit) {
        bytes->clear();
        return fail(EFBIG);
    }
    return true;
}

bool InstallFs::syncDir(const QString&)
{
    return true;
}

bool InstallFs::syncAll()
{
    return true;
}
