// The bus report's walk of sysfs over generated trees: the report always fits its buffer, is
// terminated, and ends with its closing line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/sysfs_tree.h"
#include "transport/usb_bus_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const auto tree = fuzz::BuildSysfsTree(in);
    if (!tree) return 0;
    std::vector<char> buffer(velmora::kUsbBusReportSize, 'x');
    const int connected = velmora::BuildUsbBusReport(buffer.data(), tree->sysfs->Root());
    if (connected < 0 || std::memchr(buffer.data(), '\0', buffer.size()) == nullptr) std::abort();
    if (std::strstr(buffer.data(), "devices connected") == nullptr) std::abort();
    return 0;
}
