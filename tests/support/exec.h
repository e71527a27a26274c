// In a forked child: runs the program args[0] with args, or ends the child with 127.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

[[noreturn]] inline void Exec(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace testsupport
