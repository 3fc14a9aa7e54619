#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "sysreport/report.h"

namespace {

// The commands of the report, by the place they take in it. Each prints what
// its system can tell; a command that is missing only shows its absence.
struct ReportCommands {
    const char* cpu_model;
    const char* cpu_count;
    const char* disks;
    const char* raid_adapter;
    const char* raid_config;
    const char* mounts;
    const char* disk_free;
    const char* pools;
};

#if defined(__FreeBSD__)
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
#elif defined(__linux__)
constexpr ReportCommands REPORT_COMMANDS = {
    "LC_ALL=C lscpu | grep '^Model name:'",
    "LC_ALL=C lscpu | grep -E '^(CPU\\(s\\)|Thread\\(s\\) per core|Core\\(s\\) per socket|Socket\\(s\\)):'",
    "lsblk -d -o NAME,MODEL,SIZE,ROTA,TRAN",
    // A MegaRAID controller is reported only where its driver is loaded
    // and its tool is installed, as mfiutil is on the other system.
    "test -d /sys/module/megaraid_sas && command -v storcli >/dev/null && storcli /call show",
    "test -d /sys/module/megaraid_sas && command -v storcli >/dev/null && storcli /call/vall show",
    "findmnt -l -o TARGET,SOURCE,FSTYPE,OPTIONS",
    "df -h",
    "grep -q ' zfs ' /proc/mounts && zpool status",
};
#else
#error "ovrel-bench describes FreeBSD and Linux machines only"
#endif

// Standard output goes first: when it is a file or a pipe, what the program
// has printed must come out before what the command prints.
void run_command(const char* command)
{
    fflush(stdout);
    // The command's status is its own business; the report goes on.
    const int status = system(command);
    (void)status;
}

} // namespace

void print_system_report(const RunParameters& parameters)
{
    const MachineInfo machine = machine_info();
    printf("Hostname =\t%s\n", machine.host_name.c_str());
    printf("System =\t%s %s %s\nCompiler =\t%s\nRAM =\t\t%" PRIu64 " MiB\n", machine.system.c_str(),
           machine.release.c_str(), machine.architecture.c_str(), "cc", parameters.phys_mem >> 20);
    putchar('\n');
    run_command(REPORT_COMMANDS.cpu_model);
    run_command(REPORT_COMMANDS.cpu_count);
    printf("\nFile size =\t%" PRIu64 " MiB\n", parameters.file_size >> 20);
    if (parameters.direct_io)
        printf("Direct I/O =\tyes (the page cache is bypassed)\n");
    printf("CWD =\t\t%s\n", machine.directory.c_str());
    printf("Date/time =\t");
    run_command("date");
    puts("\nDisk hardware:\n");
    run_command(REPORT_COMMANDS.disks);
    run_command(REPORT_COMMANDS.raid_adapter);
    putchar('\n');
    run_command(REPORT_COMMANDS.raid_config);
    puts("\nMount options:\n");
    run_command(REPORT_COMMANDS.mounts);
    puts("\nDisk free:\n");
    run_command(REPORT_COMMANDS.disk_free);
    run_command(REPORT_COMMANDS.pools);
    putchar('\n');
}
