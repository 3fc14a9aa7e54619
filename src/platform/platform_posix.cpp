// The part of the platform layer that is the same POSIX calls on every
// system; what differs is in the systems' own files.
#include "platform/platform.h"
#include "platform/system_parts.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int platform_drop_cached_pages(int fd)
{
    const int error = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return error != 0 ? error : system_evict_clean_pages(fd);
}

int platform_resident_bytes(int fd, uint64_t size, uint64_t* resident)
{
    // One window at a time keeps mincore's vector small for a file of any size.
    constexpr uint64_t WINDOW = uint64_t{1} << 30;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0)
        return EINVAL;
    const uint64_t page = static_cast<uint64_t>(page_size);
    *resident = 0;
    for (uint64_t offset = 0; offset < size; offset += WINDOW) {
        const uint64_t length = size - offset < WINDOW ? size - offset : WINDOW;
        void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
        if (map == MAP_FAILED)
            return errno;
        uint64_t in_memory = 0;
        errno = 0;
        const bool counted = system_resident_bytes(map, length, page, &in_memory);
        const int error = errno != 0 ? errno : EIO;
        munmap(map, length);
        if (!counted)
            return error;
        *resident += in_memory;
    }
    return 0;
}
