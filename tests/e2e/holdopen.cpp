// Holds a file open as a running application holds one of its libraries: for reading, shared
// for reading only, so that nobody may rename or delete it meanwhile. For the Windows test run.
//
//   holdopen FILE READY RELEASE
//
// Opens FILE, then creates READY, and keeps FILE open until RELEASE exists (looked for every
// 100 ms). Exit status 2 when FILE cannot be opened.

#include <windows.h>
// After windows.h.
#include <shellapi.h>

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 4)
        return 1;
    const HANDLE held = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 2;
    const HANDLE ready = ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE)
        ::CloseHandle(ready);
    while (::GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES)
        ::Sleep(100);
    ::CloseHandle(held);
    return 0;
}
