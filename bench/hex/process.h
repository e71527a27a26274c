// What the benchmark needs from the OS: run another program, and this process's memory.
#pragma once

#include <string>
#include <vector>

namespace hexbench {

// Runs argv[0] (looked up in PATH) with the arguments and waits. The exit status, or -1 when
// it could not be started or did not exit normally.
int RunProgram(const std::vector<std::string>& argv);

// A new private folder under the system's temporary folder ("" on failure).
std::string MakeTempFolder();

// Resident memory of this process in kB: all of it, file-backed pages (the program and its
// linked-in images) and anonymous pages (heap and stacks). -1 when unknown.
struct Resident {
    long totalKb = -1;
    long fileKb = -1;
    long anonKb = -1;
};
Resident ResidentMemory();

}  // namespace hexbench
