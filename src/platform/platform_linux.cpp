// The Linux side of the platform layer. The build compiles only the file of
// its target system; the guard keeps the other systems' compile checks clean.
#if defined(__linux__)

#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

#endif
