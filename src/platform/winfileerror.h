#pragma once

// What a failed Windows call on a file means to the file layer, as an errno-style code, and
// whether another program's open stops a file from being moved. Windows only.

#include <QString>

#include <windows.h>

namespace winfileerror
{

// The errno-style code of a failed call on a file: another program's open (a sharing or lock
// violation, a mapped view) is EBUSY, for which an installation waits; a file or folder that is
// not there ENOENT, another volume EXDEV, an existing target EEXIST, anything else EACCES.
int errnoOf(DWORD code);

// Opens path for deletion alone, sharing everything, as a rename or a removal does, and closes
// it at once: the errno-style code of what stops a rename now (EBUSY while another program holds
// the file open without delete sharing), 0 when nothing does. A reparse point is opened itself,
// not followed.
int deleteOpenError(const QString& path);

} // namespace winfileerror
