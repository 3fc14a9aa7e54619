#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "measure/visible.h"
#include "platform/platform.h"
#include "sysreport/report.h"

namespace {

// Standard output goes first: when it is a file or a pipe, what the program
// has printed must come out before what the command prints.
void run_command(const char* command)
{
    fflush(stdout);
    // The command's status is its own business and the report goes on,
    // unless Ctrl-C or Ctrl-\ stopped it: system() kept those from this
    // process while the command ran, so the operator's wish is passed on.
    const int status = system(command);
    if (status != -1 && WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        raise(WTERMSIG(status));
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
    // Some file systems take O_DIRECT and still cache: the report claims
    // only what was asked for.
    if (parameters.direct_io)
        printf("Direct I/O =\trequested (O_DIRECT)\n");
    printf("CWD =\t\t%s\n", visible(machine.directory).c_str());
    printf("Date/time =\t");
    run_command("date");
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
