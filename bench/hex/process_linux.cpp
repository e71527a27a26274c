#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "process.h"

extern char** environ;

namespace hexbench {

int RunProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeTempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillon-bench-hex-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

Resident ResidentMemory() {
    Resident r;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        long kb = -1;
        fields >> key >> kb;
        if (key == "VmRSS:") r.totalKb = kb;
        if (key == "RssFile:") r.fileKb = kb;
        if (key == "RssAnon:") r.anonKb = kb;
    }
    return r;
}

}  // namespace hexbench
