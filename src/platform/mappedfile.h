#pragma once

// A regular file's bytes mapped read-only into memory, from a descriptor the caller opened (for
// a file below the installation: through InstallFs, so never through a link). The pages are the
// file's own, read on demand and given back under memory pressure: a large installed copy can
// serve as a patch's base without counting against the updater's memory. The mapping outlives
// the descriptor.
//
// A mapped file must not shrink while it is read: a page past its new end cannot be read at all.
// Installed files are the updater's own, written by nobody else while it runs.

#include <QtGlobal>

class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the whole file open on fd (which stays the caller's to close); an empty file maps to
    // no bytes. False, with errno set, when fd is not a regular file or cannot be mapped.
    bool map(int fd);
    void unmap();

    bool isMapped() const { return m_mapped; }
    const char* data() const { return m_data; }
    qint64 size() const { return m_size; }

private:
    const char* m_data = nullptr;
    qint64 m_size = 0;
    bool m_mapped = false;
};
