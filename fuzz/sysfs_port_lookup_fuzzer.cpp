// The serial-port lookup's walk of sysfs over generated trees: only ports of the asked ids,
// each once, within the capacity.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "fuzz/sysfs_tree.h"
#include "transport/com_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint16_t product = in.Bool() ? velmora::kComProductId1160 : in.U16();
    const int capacity = in.Byte() % 6;
    const auto tree = fuzz::BuildSysfsTree(in);
    if (!tree) return 0;
    int ports[6] = {};
    const int n = velmora::FindComPortsInSysfs(product, ports, capacity, (tree->sysfs->Base() / "sys").string());
    if (n < -2 || n > capacity) std::abort();
    for (int i = 0; i < n; ++i)
        if (ports[i] < 1 || std::count(ports, ports + n, ports[i]) != 1) std::abort();
    return 0;
}
