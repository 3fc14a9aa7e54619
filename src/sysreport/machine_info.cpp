#include <cstdlib>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/platform.h"
#include "sysreport/report.h"

namespace {
const char* const UNKNOWN = "unknown";
}

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
    info.cpu_model = platform_cpu_model();
    info.logical_cpus = sysconf(_SC_NPROCESSORS_ONLN);
    info.directory = working_directory();
    FileSystemInfo fs{UNKNOWN, UNKNOWN, UNKNOWN};
    platform_file_system(".", &fs);
    info.fs_type = fs.type;
    info.fs_device = fs.source;
    info.fs_options = fs.options;
    return info;
}
