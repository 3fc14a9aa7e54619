#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
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
    if (info.fs_type == "zfs")
        info.fs_properties = zfs_properties(info.fs_device);
    return info;
}

std::string zfs_properties(const std::string& dataset)
{
    int out[2];
    if (pipe(out) != 0)
        return "";
    // Run without a shell: the data set's name goes to zfs as it is.
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(out[0]);
        execlp("zfs", "zfs", "get", "-H", "-o", "property,value", "recordsize,compression,dedup,sync,primarycache,logbias",
               dataset.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[1024];
    ssize_t n = 0;
    while (child > 0 && (n = read(out[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text.size() > 65536)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "";
    // One "property<TAB>value" line each.
    std::string properties;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos)
            properties += (properties.empty() ? "" : ", ") + line.substr(0, tab) + "=" + line.substr(tab + 1);
        at = end + 1;
    }
    return properties;
}
