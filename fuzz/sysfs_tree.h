// A sysfs tree generated from fuzz input, as the kernel lays it out (through the bus report
// tests' fixture): controllers, root hubs, devices and hubs on their ports, drivers, module
// files and serial ports; then raw attribute files overwritten with input bytes, so the
// readers meet texts the kernel would never write.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tests/busreport/sysfs_fixture.h"

namespace fuzz {

struct SysfsTree {
    std::unique_ptr<busreport_test::FakeSysfs> sysfs;
    std::vector<busreport_test::fs::path> devices;  // every device folder, hubs included
};

// Builds a tree from the input; an empty tree (or none, on a file system error) when the
// input asks for something the fixture cannot lay out.
std::unique_ptr<SysfsTree> BuildSysfsTree(Input& in);

}  // namespace fuzz
