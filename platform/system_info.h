// Facts about the machine and the running program.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Machine-wide application-data folder: $VELMORA_COMMON_APPDATA when set and not empty,
// else /var/lib. Returns 1 and the folder, or -1 when it does not exist as a folder.
int CommonAppDataFolder(std::string* folder);

// Full path of the running program file ("" when unknown).
std::string ProgramPath();

// A number that is the same for every process running the same executable file (made of the
// file's device and inode). Names the cross-process mutexes of one installation.
uint32_t ModuleNumber();

struct OsFacts {
    int major = 0;        // kernel release, first number
    int minor = 0;        // second number
    int build = 0;        // third number
    int platformId = 0;   // 0 on Linux
    int bits = 0;         // 64 or 32 for the kernel's word size, 0 unknown
    std::string details;  // system name, release, version and machine
};
OsFacts GetOsFacts();

struct ProcessorFacts {
    int count = 0;           // processors configured
    int type = 0;            // 8664 (x86-64), 586 (x86), 0xAA64 (ARM64), 0 others
    int level = 0;           // CPU family
    int revision = 0;        // model << 8 | stepping
    int oemId = 0;
    uint32_t activeMask = 0; // affinity of this process, low 32 processors
    uint32_t minAddress = 0; // lowest address a program may map
    uint32_t maxAddress = 0; // highest user address, limited to 32 bits
};
ProcessorFacts GetProcessorFacts();

// Name of the effective user ("" when unknown).
std::string UserName();

// This computer's own name, as set on it ("" when unknown); no network look-up.
std::string ComputerName();

// The number of the running process.
uint32_t ProcessId();

// Value of an environment variable, or "" when unset.
std::string GetEnv(const char* name);
// Sets (replacing) or removes an environment variable of this process; false on failure. On
// Windows an empty value removes the variable, as the system keeps no empty ones.
bool SetEnv(const char* name, const std::string& value);
bool UnsetEnv(const char* name);

}  // namespace platform
