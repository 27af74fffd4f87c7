#include "platform/winfileerror.h"

#include <QDir>

#include <cerrno>

namespace winfileerror
{

int errnoOf(DWORD code)
{
    switch (code) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return EBUSY;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    default:
        return EACCES;
    }
}

int deleteOpenError(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE handle = ::CreateFileW(
        reinterpret_cast<const wchar_t*>(native.utf16()), DELETE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return errnoOf(::GetLastError());
    ::CloseHandle(handle);
    return 0;
}

} // namespace winfileerror
