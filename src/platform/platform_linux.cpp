// The Linux side of the platform layer. The build compiles only the file of
// its target system; the guard keeps the other systems' compile checks clean.
#if defined(__linux__)

#include "platform/platform.h"
#include "platform/system_parts.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr ReportCommands REPORT_COMMANDS = {
    "LC_ALL=C lscpu | grep '^Model name:'",
    "LC_ALL=C lscpu | grep -E '^(CPU\\(s\\)|Thread\\(s\\) per core|Core\\(s\\) per socket|Socket\\(s\\)):'",
    "lsblk -d -o NAME,MODEL,SIZE,ROTA,TRAN",
    // A MegaRAID controller is reported only where its driver is loaded
    // and its tool is installed, as mfiutil is on FreeBSD.
    "test -d /sys/module/megaraid_sas && command -v storcli >/dev/null && storcli /call show",
    "test -d /sys/module/megaraid_sas && command -v storcli >/dev/null && storcli /call/vall show",
    "findmnt -l -o TARGET,SOURCE,FSTYPE,OPTIONS",
    "df -h",
    "grep -q ' zfs ' /proc/mounts && zpool status",
};

} // namespace

std::string platform_cpu_model()
{
    FILE* cpuinfo = fopen("/proc/cpuinfo", "re");
    if (cpuinfo == nullptr)
        return "unknown";
    std::string model = "unknown";
    char line[1024];
    while (fgets(line, sizeof line, cpuinfo) != nullptr) {
        if (strncmp(line, "model name", 10) != 0)
            continue;
        const char* value = strchr(line, ':');
        if (value == nullptr)
            break;
        value += strspn(value + 1, " \t") + 1;
        model.assign(value, strcspn(value, "\n"));
        break;
    }
    fclose(cpuinfo);
    return model;
}

// The mount whose device number is the path's own, from mountinfo: the
// fields after " - " are the type, the source and the super options; the
// sixth field holds the per-mount options.
bool platform_file_system(const char* path, FileSystemInfo* info)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    FILE* mounts = fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr)
        return false;
    bool found = false;
    char line[4096];
    while (!found && fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        char mount_options[1024];
        if (sscanf(line, "%*s %*s %u:%u %*s %*s %1023s", &major_number, &minor_number, mount_options) != 3)
            continue;
        if (makedev(major_number, minor_number) != status.st_dev)
            continue;
        const char* tail = strstr(line, " - ");
        char type[256];
        char source[1024];
        char super_options[1024];
        const int fields = tail == nullptr ? 0 : sscanf(tail, " - %255s %1023s %1023s", type, source, super_options);
        if (fields >= 2) {
            info->type = type;
            info->source = source;
            info->options = mount_options;
            // The super block's options after the mount's, each once.
            const std::string listed = std::string(",") + mount_options + ",";
            for (char* option = fields == 3 ? strtok(super_options, ",") : nullptr; option != nullptr;
                 option = strtok(nullptr, ","))
                if (listed.find(std::string(",") + option + ",") == std::string::npos)
                    info->options += std::string(",") + option;
            found = true;
        }
    }
    fclose(mounts);
    return found;
}

const ReportCommands& platform_report_commands()
{
    return REPORT_COMMANDS;
}

int platform_direct_io_flag()
{
    return O_DIRECT;
}

bool platform_free_space(const char* path, FreeSpace* space)
{
    struct statvfs fs;
    if (statvfs(path, &fs) != 0)
        return false;
    const uint64_t blocks = fs.f_bavail;
    space->available_blocks = blocks > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(blocks);
    space->block_size = fs.f_frsize;
    return true;
}

bool system_resident_bytes(void* map, uint64_t length, uint64_t page, uint64_t* resident)
{
    // A window of at most 1 GiB, in pages of at least 4 KiB.
    static unsigned char cells[(uint64_t{1} << 30) / 4096];
    const uint64_t pages = (length + page - 1) / page;
    if (page < 4096 || pages > sizeof cells || mincore(map, length, cells) != 0)
        return false;
    *resident = 0;
    for (uint64_t i = 0; i < pages; ++i)
        if ((cells[i] & 1) != 0)
            *resident += i + 1 < pages ? page : length - i * page;
    return true;
}

int platform_status_signal()
{
    return SIGUSR1;
}

const char* platform_status_signal_name()
{
    return "SIGUSR1";
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
    void* memory = mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void platform_unmap_memory(void* memory, uint64_t size)
{
    munmap(memory, static_cast<size_t>(size == 0 ? 1 : size));
}

namespace {

// The whole of a small system file (a /proc or /sys text), in a static
// buffer: no allocation between a measurement's two readings. Null when it
// cannot be read.
const char* read_system_file(const char* path)
{
    static char text[256 * 1024];
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    size_t length = 0;
    ssize_t n = 0;
    while (length < sizeof text - 1 && (n = read(fd, text + length, sizeof text - 1 - length)) > 0)
        length += static_cast<size_t>(n);
    close(fd);
    if (n < 0)
        return nullptr;
    text[length] = '\0';
    return text;
}

// The number after "KEY " at the start of a line of `text`.
bool find_counter(const char* text, const char* key, uint64_t* value)
{
    const size_t length = strlen(key);
    for (const char* line = text; *line != '\0';) {
        if (strncmp(line, key, length) == 0 && line[length] == ' ') {
            *value = strtoull(line + length + 1, nullptr, 10);
            return true;
        }
        const char* next = strchr(line, '\n');
        if (next == nullptr)
            break;
        line = next + 1;
    }
    return false;
}

// /sys/dev/block/MAJ:MIN/stat of the watched device, empty when none.
std::string device_stat_path;

} // namespace

int system_evict_clean_pages(int)
{
    // POSIX_FADV_DONTNEED has already dropped the file's clean pages.
    return 0;
}

int64_t platform_steal_tick_us()
{
    // /proc/stat counts in USER_HZ ticks.
    const long hz = sysconf(_SC_CLK_TCK);
    return hz > 0 ? 1000000 / hz : 0;
}

bool platform_machine_counters(MachineCounters* counters)
{
    *counters = MachineCounters{false, 0, -1, false, 0};
    if (const char* stat = read_system_file("/proc/stat")) {
        // "cpu  user nice system idle iowait irq softirq steal ...", in clock ticks.
        uint64_t ticks[8] = {};
        if (strncmp(stat, "cpu ", 4) == 0 &&
            sscanf(stat + 4, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                             " %" SCNu64,
                   &ticks[0], &ticks[1], &ticks[2], &ticks[3], &ticks[4], &ticks[5], &ticks[6], &ticks[7]) == 8) {
            const long hz = sysconf(_SC_CLK_TCK);
            counters->steal_known = hz > 0;
            counters->steal_us = hz > 0 ? ticks[7] * 1000000 / static_cast<uint64_t>(hz) : 0;
        }
        uint64_t running = 0;
        if (find_counter(stat, "procs_running", &running))
            counters->runnable = static_cast<int64_t>(running);
    }
    if (const char* vmstat = read_system_file("/proc/vmstat")) {
        uint64_t in = 0;
        uint64_t out = 0;
        if (find_counter(vmstat, "pswpin", &in) && find_counter(vmstat, "pswpout", &out)) {
            counters->swap_known = true;
            counters->swap_bytes = (in + out) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        }
    }
    return true;
}

bool platform_watch_device(const char* path, std::string* name)
{
    device_stat_path.clear();
    struct stat status;
    if (stat(path, &status) != 0) {
        *name = strerror(errno);
        return false;
    }
    // Major 0 is no block device: tmpfs, overlay, btrfs's anonymous numbers.
    if (major(status.st_dev) == 0) {
        *name = "no block device holds it";
        return false;
    }
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(status.st_dev), minor(status.st_dev));
    char* device = realpath(link, nullptr);
    if (device == nullptr) {
        *name = "no block device holds it";
        return false;
    }
    std::string directory = device;
    free(device);
    // A partition's own counters leave out nothing, but other partitions of
    // the same disk compete for it: the whole disk is watched.
    struct stat partition;
    if (::stat((directory + "/partition").c_str(), &partition) == 0)
        directory = directory.substr(0, directory.rfind('/'));
    device_stat_path = directory + "/stat";
    *name = directory.substr(directory.rfind('/') + 1);
    uint64_t read_bytes = 0;
    uint64_t written_bytes = 0;
    if (!platform_device_bytes(&read_bytes, &written_bytes)) {
        device_stat_path.clear();
        *name = "its device has no counters";
        return false;
    }
    return true;
}

bool platform_device_bytes(uint64_t* read_bytes, uint64_t* written_bytes)
{
    if (device_stat_path.empty())
        return false;
    const char* text = read_system_file(device_stat_path.c_str());
    // Reads, merged reads, sectors read, ms reading, writes, merged writes,
    // sectors written, ...; a sector here is always 512 bytes.
    uint64_t fields[7] = {};
    if (text == nullptr || sscanf(text, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                                        " %" SCNu64,
                                  &fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5],
                                  &fields[6]) != 7)
        return false;
    *read_bytes = fields[2] * 512;
    *written_bytes = fields[6] * 512;
    return true;
}

int32_t platform_usable_cpus(int32_t* cpus, int32_t max)
{
    // The kernel's own mask may be wider than a cpu_set_t: ask with sets of
    // growing size until it fits.
    for (int size = 1024; size <= 65536; size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr)
            return 0;
        const size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) != 0) {
            const bool wider = errno == EINVAL;
            CPU_FREE(set);
            if (wider)
                continue;
            return 0;
        }
        int32_t count = 0;
        for (int cpu = 0; cpu < size && count < max; ++cpu)
            if (CPU_ISSET_S(cpu, bytes, set))
                cpus[count++] = cpu;
        CPU_FREE(set);
        return count;
    }
    return 0;
}

int platform_pin_thread(int32_t cpu)
{
    if (cpu < 0)
        return EINVAL;
    cpu_set_t* set = CPU_ALLOC(cpu + 1);
    if (set == nullptr)
        return ENOMEM;
    const size_t bytes = CPU_ALLOC_SIZE(cpu + 1);
    CPU_ZERO_S(bytes, set);
    CPU_SET_S(cpu, bytes, set);
    const int error = pthread_setaffinity_np(pthread_self(), bytes, set);
    CPU_FREE(set);
    return error;
}

int32_t platform_current_cpu()
{
    return sched_getcpu();
}

namespace {

// A sysfs file's first line, empty when it cannot be read.
std::string first_line(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return "";
    char line[256] = "";
    const bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read)
        return "";
    line[strcspn(line, "\n")] = '\0';
    return line;
}

// CPUs in a list such as "0-3,8,10-11".
int64_t listed_cpus(const std::string& list)
{
    int64_t count = 0;
    const char* at = list.c_str();
    while (*at != '\0') {
        char* end = nullptr;
        const long first = strtol(at, &end, 10);
        if (end == at)
            return 0;
        long last = first;
        at = end;
        if (*at == '-') {
            last = strtol(at + 1, &end, 10);
            at = end;
        }
        count += last >= first ? last - first + 1 : 0;
        if (*at == ',')
            ++at;
        else if (*at != '\0')
            return 0;
    }
    return count;
}

} // namespace

uint64_t platform_last_level_cache_bytes()
{
    // CPU 0's cache of the highest level, and how many CPUs share it.
    const std::string base = "/sys/devices/system/cpu/cpu0/cache/index";
    int best_level = 0;
    uint64_t best_bytes = 0;
    int64_t sharing = 0;
    for (int index = 0; index < 16; ++index) {
        const std::string dir = base + std::to_string(index) + "/";
        const std::string level = first_line(dir + "level");
        if (level.empty())
            break;
        const std::string type = first_line(dir + "type");
        if (type == "Instruction")
            continue;
        const std::string size = first_line(dir + "size");
        char* end = nullptr;
        const unsigned long long amount = strtoull(size.c_str(), &end, 10);
        const uint64_t bytes = *end == 'K' ? amount << 10 : *end == 'M' ? amount << 20 : amount;
        if (atoi(level.c_str()) > best_level && bytes > 0) {
            best_level = atoi(level.c_str());
            best_bytes = bytes;
            sharing = listed_cpus(first_line(dir + "shared_cpu_list"));
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (best_bytes == 0 || sharing <= 0 || online <= 0)
        return best_bytes;
    // Caches shared by `sharing` CPUs each: as many as it takes to serve all.
    return best_bytes * static_cast<uint64_t>((online + sharing - 1) / sharing);
}

#endif
