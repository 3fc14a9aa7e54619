// The FreeBSD side of the platform layer. The build compiles only the file of
// its target system; the guard keeps the other systems' compile checks clean.
#if defined(__FreeBSD__)

#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/sysctl.h>
#include <unistd.h>

namespace {

constexpr ReportCommands REPORT_COMMANDS = {
    "grep '^CPU:' /var/run/dmesg.boot",
    "grep '/SMP:' /var/run/dmesg.boot",
    "geom disk list",
    "df | fgrep -q /dev/mfid && mfiutil show adapter",
    "df | fgrep -q /dev/mfid && mfiutil show config",
    "/sbin/mount",
    "/bin/df -h",
    "mount | fgrep 'zfs,' && zpool status",
};

// The mount flags that mount(8) shows, in its words.
struct MountFlag {
    uint64_t flag;
    const char* name;
};

constexpr MountFlag MOUNT_FLAGS[] = {
    {MNT_RDONLY, "read-only"},       {MNT_SYNCHRONOUS, "synchronous"}, {MNT_NOEXEC, "noexec"},
    {MNT_NOSUID, "nosuid"},          {MNT_ASYNC, "asynchronous"},      {MNT_NOATIME, "noatime"},
    {MNT_SOFTDEP, "soft-updates"},   {MNT_SUJ, "journaled soft-updates"},
    {MNT_GJOURNAL, "gjournal"},      {MNT_MULTILABEL, "multilabel"},   {MNT_ACLS, "acls"},
    {MNT_NFS4ACLS, "nfsv4acls"},     {MNT_LOCAL, "local"},             {MNT_QUOTA, "with quotas"},
};

} // namespace

std::string platform_cpu_model()
{
    char model[256];
    size_t length = sizeof model;
    if (sysctlbyname("hw.model", model, &length, nullptr, 0) != 0)
        return "unknown";
    model[sizeof model - 1] = '\0';
    return model;
}

bool platform_file_system(const char* path, FileSystemInfo* info)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0)
        return false;
    info->type = fs.f_fstypename;
    info->source = fs.f_mntfromname;
    info->options.clear();
    for (const MountFlag& flag : MOUNT_FLAGS) {
        if ((fs.f_flags & flag.flag) == 0)
            continue;
        if (!info->options.empty())
            info->options += ',';
        info->options += flag.name;
    }
    return true;
}

const ReportCommands& platform_report_commands()
{
    return REPORT_COMMANDS;
}

int platform_direct_io_flag()
{
    return O_DIRECT;
}

// statvfs would copy the signed f_bavail into an unsigned field, so a file
// system whose reserve root has eaten into would read as 16 EiB free.
bool platform_free_space(const char* path, FreeSpace* space)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0)
        return false;
    space->available_blocks = fs.f_bavail;
    space->block_size = fs.f_bsize;
    return true;
}

int platform_flush_file(int fd)
{
    return fsync(fd);
}

void* platform_map_memory(uint64_t size)
{
    // An empty array still gets a page, so that it is no failure.
    const uint64_t length = size == 0 ? 1 : size;
    if (length > SIZE_MAX)
        return nullptr;
    // MAP_NOCORE: gibibytes of sweep data have no place in a core dump.
    void* memory = mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON | MAP_NOCORE, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void platform_unmap_memory(void* memory, uint64_t size)
{
    munmap(memory, static_cast<size_t>(size == 0 ? 1 : size));
}

#endif
