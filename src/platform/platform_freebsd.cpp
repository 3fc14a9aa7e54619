// The FreeBSD side of the platform layer. The build compiles only the file of
// its target system; the guard keeps the other systems' compile checks clean.
#if defined(__FreeBSD__)

#include "platform/platform.h"
#include "platform/system_parts.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/param.h>
#include <sys/cpuset.h>
#include <sched.h>
#include <sys/devicestat.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/vmmeter.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

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

bool system_resident_bytes(void* map, uint64_t length, uint64_t page, uint64_t* resident)
{
    // A window of at most 1 GiB, in pages of at least 4 KiB.
    static char cells[(uint64_t{1} << 30) / 4096];
    const uint64_t pages = (length + page - 1) / page;
    if (page < 4096 || pages > sizeof cells || mincore(map, length, cells) != 0)
        return false;
    *resident = 0;
    for (uint64_t i = 0; i < pages; ++i)
        if ((cells[i] & MINCORE_INCORE) != 0)
            *resident += i + 1 < pages ? page : length - i * page;
    return true;
}

int platform_status_signal()
{
    return SIGINFO;
}

const char* platform_status_signal_name()
{
    return "SIGINFO";
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

namespace {

// A numeric sysctl of either width (some counters grew from 32 to 64 bits).
bool sysctl_counter(const char* name, uint64_t* value)
{
    uint64_t wide = 0;
    size_t length = sizeof wide;
    if (sysctlbyname(name, &wide, &length, nullptr, 0) != 0)
        return false;
    if (length == sizeof(uint32_t)) {
        uint32_t narrow = 0;
        memcpy(&narrow, &wide, sizeof narrow);
        wide = narrow;
    } else if (length != sizeof wide) {
        return false;
    }
    *value = wide;
    return true;
}

// The watched disk as devstat names it: "ada" and 0 for /dev/ada0p2.
std::string watched_name;
int watched_unit = -1;

} // namespace

int system_evict_clean_pages(int fd)
{
    // POSIX_FADV_DONTNEED only releases the file's buffers and moves its
    // pages to the inactive queue, where they stay resident and a "cold"
    // read would find them. msync with MS_INVALIDATE removes a mapped
    // object's clean pages; a window at a time, as the count after it does.
    struct stat file;
    if (fstat(fd, &file) != 0)
        return errno;
    constexpr uint64_t WINDOW = uint64_t{1} << 30;
    const uint64_t size = static_cast<uint64_t>(file.st_size);
    for (uint64_t offset = 0; offset < size; offset += WINDOW) {
        const uint64_t length = size - offset < WINDOW ? size - offset : WINDOW;
        void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
        if (map == MAP_FAILED)
            return errno;
        const int error = msync(map, length, MS_INVALIDATE) != 0 ? errno : 0;
        munmap(map, length);
        if (error != 0)
            return error;
    }
    return 0;
}

int64_t platform_steal_tick_us()
{
    // The system keeps no count of the time a hypervisor takes.
    return 0;
}

bool platform_machine_counters(MachineCounters* counters)
{
    // FreeBSD does not count the time a hypervisor takes.
    *counters = MachineCounters{false, 0, -1, false, 0};
    struct vmtotal total;
    size_t length = sizeof total;
    // t_rq counts the threads in run queues, the running one included.
    if (sysctlbyname("vm.vmtotal", &total, &length, nullptr, 0) == 0)
        counters->runnable = total.t_rq;
    uint64_t in = 0;
    uint64_t out = 0;
    if (sysctl_counter("vm.stats.vm.v_swappgsin", &in) && sysctl_counter("vm.stats.vm.v_swappgsout", &out)) {
        counters->swap_known = true;
        counters->swap_bytes = (in + out) * static_cast<uint64_t>(getpagesize());
    }
    return true;
}

bool platform_watch_device(const char* path, std::string* name)
{
    watched_name.clear();
    watched_unit = -1;
    struct statfs fs;
    if (statfs(path, &fs) != 0) {
        *name = strerror(errno);
        return false;
    }
    // "/dev/ada0p2" or "/dev/da1s1a": the disk is the letters and the unit
    // number after /dev/; a ZFS data set or a network source names none.
    const char* source = fs.f_mntfromname;
    if (strncmp(source, "/dev/", 5) != 0) {
        *name = "no single disk holds it";
        return false;
    }
    source += 5;
    const size_t letters = strcspn(source, "0123456789");
    if (letters == 0 || source[letters] == '\0') {
        *name = "no single disk holds it";
        return false;
    }
    watched_name.assign(source, letters);
    watched_unit = atoi(source + letters);
    *name = watched_name + std::to_string(watched_unit);
    uint64_t read_bytes = 0;
    uint64_t written_bytes = 0;
    if (!platform_device_bytes(&read_bytes, &written_bytes)) {
        watched_name.clear();
        *name = "its disk has no counters";
        return false;
    }
    return true;
}

bool platform_device_bytes(uint64_t* read_bytes, uint64_t* written_bytes)
{
    if (watched_name.empty())
        return false;
    // kern.devstat.all: the generation number, then one struct devstat per device.
    static char buffer[256 * 1024];
    size_t length = sizeof buffer;
    if (sysctlbyname("kern.devstat.all", buffer, &length, nullptr, 0) != 0 || length < sizeof(long))
        return false;
    for (size_t at = sizeof(long); at + sizeof(struct devstat) <= length; at += sizeof(struct devstat)) {
        struct devstat device;
        memcpy(&device, buffer + at, sizeof device);
        if (device.unit_number == watched_unit && watched_name == device.device_name) {
            *read_bytes = device.bytes[DEVSTAT_READ];
            *written_bytes = device.bytes[DEVSTAT_WRITE];
            return true;
        }
    }
    return false;
}

int32_t platform_usable_cpus(int32_t* cpus, int32_t max)
{
    cpuset_t set;
    CPU_ZERO(&set);
    if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, -1, sizeof set, &set) != 0)
        return 0;
    int32_t count = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && count < max; ++cpu)
        if (CPU_ISSET(cpu, &set))
            cpus[count++] = cpu;
    return count;
}

int platform_pin_thread(int32_t cpu)
{
    if (cpu < 0 || cpu >= CPU_SETSIZE)
        return EINVAL;
    cpuset_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    // The id -1 with CPU_WHICH_TID is the calling thread.
    return cpuset_setaffinity(CPU_LEVEL_WHICH, CPU_WHICH_TID, -1, sizeof set, &set) == 0 ? 0 : errno;
}

int32_t platform_current_cpu()
{
    return sched_getcpu();
}

uint64_t platform_last_level_cache_bytes()
{
    // FreeBSD has no sysctl for the cache sizes; the processor tells them
    // (CPUID leaf 4: deterministic cache parameters, Intel and AMD alike).
#if defined(__x86_64__) || defined(__i386__)
    uint64_t best_bytes = 0;
    unsigned best_level = 0;
    unsigned sharing = 0;
    for (unsigned index = 0; index < 16; ++index) {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (__get_cpuid_count(4, index, &eax, &ebx, &ecx, &edx) == 0 || (eax & 0x1f) == 0)
            break;
        const unsigned type = eax & 0x1f;
        const unsigned level = (eax >> 5) & 0x7;
        if (type == 2)
            continue;
        const uint64_t bytes = static_cast<uint64_t>((ebx >> 22) + 1) * (((ebx >> 12) & 0x3ff) + 1) *
                               ((ebx & 0xfff) + 1) * (static_cast<uint64_t>(ecx) + 1);
        if (level > best_level) {
            best_level = level;
            best_bytes = bytes;
            sharing = ((eax >> 14) & 0xfff) + 1;
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (best_bytes == 0 || online <= 0)
        return best_bytes;
    return best_bytes * static_cast<uint64_t>((online + sharing - 1) / sharing);
#else
    return 0;
#endif
}

#endif
