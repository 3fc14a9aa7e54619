#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "measure/result.h"
#include "measure/visible.h"
#include "measure/witness.h"
#include "platform/platform.h"
#include "run/measurements.h"
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

// "0-3,8,10-11": CPUs in increasing order, runs joined.
std::string cpu_list_text(const int32_t* cpus, int32_t count)
{
    std::string text;
    for (int32_t i = 0; i < count;) {
        int32_t j = i;
        while (j + 1 < count && cpus[j + 1] == cpus[j] + 1)
            ++j;
        text += (text.empty() ? "" : ",") + std::to_string(cpus[i]);
        if (j > i)
            text += (j == i + 1 ? "," : "-") + std::to_string(cpus[j]);
        i = j + 1;
    }
    return text;
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
    char block_label[SIZE_LABEL_LEN];
    format_block(parameters.block_size, block_label);
    if (parameters.file_size_rounded != nullptr)
        printf(" (%s rounded down to whole %s blocks%s)", visible(parameters.file_size_rounded).c_str(), block_label,
               parameters.jobs > 1 ? ", the same number for every job" : "");
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
    // How wide the run is, where it is wider than one core and one stream
    // of 4 MiB blocks.
    char size_label[SIZE_LABEL_LEN];
    if (parameters.cpus != nullptr && (parameters.phases & PHASE_MEMORY) != 0)
        printf("Cores =\t\t%" PRId32 " workers, one pinned to each of CPUs %s; large array parts of %s\n",
               parameters.cores, cpu_list_text(parameters.cpus, parameters.cores).c_str(),
               format_size(parameters.large_array_size / static_cast<uint64_t>(parameters.cores), size_label));
    if (parameters.jobs != 1 && (parameters.phases & PHASE_DISK) != 0)
        printf("Jobs =\t\t%" PRId32 " streams at once, each on a file of %s of its own\n", parameters.jobs,
               format_size(job_file_size(parameters), size_label));
    if (parameters.block_size != BLOCK_SIZE && (parameters.phases & PHASE_DISK) != 0)
        printf("Block size =\t%s\n", block_label);
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
