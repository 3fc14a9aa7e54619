#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__FreeBSD__)
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/sysctl.h>
#elif defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include "sysreport/report.h"

namespace {

const char* const UNKNOWN = "unknown";

#if defined(__FreeBSD__)

std::string cpu_model()
{
    char model[256];
    size_t length = sizeof model;
    if (sysctlbyname("hw.model", model, &length, nullptr, 0) != 0)
        return UNKNOWN;
    model[sizeof model - 1] = '\0';
    return model;
}

void file_system_of(const char* path, MachineInfo* info)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0)
        return;
    info->fs_type = fs.f_fstypename;
    info->fs_device = fs.f_mntfromname;
}

#elif defined(__linux__)

std::string cpu_model()
{
    FILE* cpuinfo = fopen("/proc/cpuinfo", "re");
    if (cpuinfo == nullptr)
        return UNKNOWN;
    std::string model = UNKNOWN;
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

// The mount whose device number is the directory's own: its file system
// type and source, from the fields after " - " in mountinfo.
void file_system_of(const char* path, MachineInfo* info)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return;
    FILE* mounts = fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr)
        return;
    char line[4096];
    while (fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        if (sscanf(line, "%*s %*s %u:%u", &major_number, &minor_number) != 2)
            continue;
        if (makedev(major_number, minor_number) != status.st_dev)
            continue;
        const char* tail = strstr(line, " - ");
        char type[256];
        char source[1024];
        if (tail != nullptr && sscanf(tail, " - %255s %1023s", type, source) == 2) {
            info->fs_type = type;
            info->fs_device = source;
        }
        break;
    }
    fclose(mounts);
}

#endif

} // namespace

std::string host_name()
{
    char name[256];
    if (gethostname(name, 255) != 0)
        return UNKNOWN;
    name[255] = '\0';
    return name;
}

std::string working_directory()
{
    char* directory = getcwd(nullptr, 0);
    if (directory == nullptr)
        return UNKNOWN;
    std::string text = directory;
    free(directory);
    return text;
}

MachineInfo machine_info()
{
    MachineInfo info{};
    info.host_name = host_name();
    struct utsname names;
    if (uname(&names) == 0) {
        info.system = names.sysname;
        info.release = names.release;
        info.architecture = names.machine;
    } else {
        info.system = info.release = info.architecture = UNKNOWN;
    }
    info.cpu_model = cpu_model();
    info.logical_cpus = sysconf(_SC_NPROCESSORS_ONLN);
    info.directory = working_directory();
    info.fs_type = info.fs_device = UNKNOWN;
    file_system_of(".", &info);
    return info;
}
