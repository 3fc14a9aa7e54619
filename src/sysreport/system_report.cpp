#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "measure/visible.h"
#include "measure/witness.h"
#include "platform/platform.h"
#include "sysreport/report.h"

namespace {

// Standard output goes first: when it is a file or a pipe, what the program
// has printed must come out before what the command prints. The command
// runs under the shell with this process's signal handlers left in place
// (system() would ignore SIGINT and SIGQUIT here meanwhile): an interrupt
// sent to this process alone stops the run as at any other moment. The
// command's own status is its business, and the report goes on.
void run_command(const char* command)
{
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        // The run ignores SIGXFSZ for itself; the command gets the default.
        signal(SIGXFSZ, SIG_DFL);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0)
        return;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void print_system_report(const RunParameters& parameters)
{
    const ReportCommands& commands = platform_report_commands();
    const MachineInfo machine = machine_info();
    printf("Hostname =\t%s\n", visible(machine.host_name).c_str());
    printf("System =\t%s %s %s\nCompiler =\t%s\nRAM =\t\t%" PRIu64 " MiB\n", visible(machine.system).c_str(),
           visible(machine.release).c_str(), visible(machine.architecture).c_str(), "cc",
           parameters.phys_mem >> 20);
    putchar('\n');
    run_command(commands.cpu_model);
    run_command(commands.cpu_count);
    printf("\nFile size =\t%" PRIu64 " MiB", parameters.file_size >> 20);
    if (parameters.file_size_rounded != nullptr)
        printf(" (%s rounded down to whole 4 MiB blocks)", visible(parameters.file_size_rounded).c_str());
    putchar('\n');
    printf("CWD =\t\t%s\n", visible(machine.directory).c_str());
    printf("Date/time =\t");
    run_command("date");
    // This program's own lines follow the three that reports have always
    // had together, which parsers key on.
    // Some file systems take O_DIRECT and still cache: the report claims
    // only what was asked for.
    if (parameters.direct_io)
        printf("Direct I/O =\trequested (O_DIRECT)\n");
    if (parameters.cold)
        printf("Cold =\t\teach write timed to its fsync, cached pages dropped before each read\n");
    // The device whose transfers every measurement's witness counts.
    printf("I/O witness =\t%s\n", visible(witness_device_description()).c_str());
    // ZFS figures depend on the data set's settings as much as on its disks.
    if (!machine.fs_properties.empty())
        printf("ZFS =\t\t%s\n", visible(machine.fs_properties).c_str());
    puts("\nDisk hardware:\n");
    run_command(commands.disks);
    run_command(commands.raid_adapter);
    putchar('\n');
    run_command(commands.raid_config);
    puts("\nMount options:\n");
    run_command(commands.mounts);
    puts("\nDisk free:\n");
    run_command(commands.disk_free);
    run_command(commands.pools);
    putchar('\n');
}
