// The notice before the run and the description of the machine.
#pragma once

#include <string>

#include "run/run_parameters.h"

// Asks for an idle machine and, unless `wait` is false, waits for one
// character (end of file counts). When standard output is not a terminal but
// standard input is, the notice goes to standard error too, so that the
// operator sees what the program waits for.
void print_notice(bool wait);
// Host, system, memory, processor, file size, directory, date, disks, mounts,
// free space and pools, mostly through the system's own commands.
void print_system_report(const RunParameters& parameters);

// Facts about the machine for the run record; "unknown" where not found.
struct MachineInfo {
    std::string host_name;
    std::string system;
    std::string release;
    std::string architecture;
    std::string cpu_model;
    long logical_cpus;
    std::string directory;
    std::string fs_type;
    std::string fs_device;
    std::string fs_options;
    std::string fs_properties;  // a ZFS data set's: "recordsize=128K, compression=lz4, ..."; else empty
};

MachineInfo machine_info();
// What `zfs get` says of the properties of `dataset` that change a disk
// figure (recordsize, compression, dedup, sync, primarycache, logbias), as
// "name=value" joined by ", "; empty when the command is missing or fails.
std::string zfs_properties(const std::string& dataset);
std::string host_name();
std::string working_directory();
