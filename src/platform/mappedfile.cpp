#include "platform/mappedfile.h"

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#endif

MappedFile::~MappedFile()
{
    unmap();
}

bool MappedFile::map(int fd)
{
    unmap();
#ifdef Q_OS_WIN
    const HANDLE file = HANDLE(_get_osfhandle(fd));
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileSizeEx(file, &size)) {
        errno = EINVAL;
        return false;
    }
    if (size.QuadPart > 0) {
        const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (!mapping) {
            errno = EACCES;
            return false;
        }
        // The view keeps the mapping object alive.
        void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(mapping);
        if (!view) {
            errno = ENOMEM;
            return false;
        }
        m_data = static_cast<const char*>(view);
    }
    m_size = size.QuadPart;
#else
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    if (st.st_size > 0) {
        void* view = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (view == MAP_FAILED)
            return false;
        m_data = static_cast<const char*>(view);
    }
    m_size = st.st_size;
#endif
    m_mapped = true;
    return true;
}

void MappedFile::unmap()
{
    if (m_data) {
#ifdef Q_OS_WIN
        UnmapViewOfFile(m_data);
#else
        ::munmap(const_cast<char*>(m_data), size_t(m_size));
#endif
    }
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}
