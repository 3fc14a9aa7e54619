// The notice before the run and the description of the machine.
#pragma once

#include <string>

#include "driver/run_parameters.h"

// Asks for an idle machine and waits for one character (end of file counts).
void print_notice();
// Host, system, memory, processor, file size, directory, date, disks, mounts,
// free space and pools, mostly through the system's own commands.
void print_system_report(const RunParameters& parameters);

// Facts about the machine for the JSON export; "unknown" where not found.
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
};

MachineInfo machine_info();
std::string host_name();
std::string working_directory();
