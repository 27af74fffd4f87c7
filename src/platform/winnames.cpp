#include "platform/winnames.h"

#include <QDir>

#include <windows.h>

namespace winnames
{

bool reachedUnderAnotherName(const QString& path, const QString& asked)
{
    // A pattern would match other names, and no entry on Windows holds these characters.
    if (asked.contains(QLatin1Char('*')) || asked.contains(QLatin1Char('?')))
        return true;
    WIN32_FIND_DATAW found;
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE handle =
        ::FindFirstFileExW(reinterpret_cast<const wchar_t*>(native.utf16()), FindExInfoBasic,
                           &found, FindExSearchNameMatch, nullptr, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::FindClose(handle);
    return ::CompareStringOrdinal(found.cFileName, -1,
                                  reinterpret_cast<const wchar_t*>(asked.utf16()),
                                  int(asked.size()), TRUE) != CSTR_EQUAL;
}

} // namespace winnames
