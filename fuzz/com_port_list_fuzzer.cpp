// The VELMORA_COM_PORTS text: any list, split into entries and looked up for a product id.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "transport/com_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint16_t pid = in.U16();
    const int capacity = in.Byte() % 8;
    const std::string list(in.Text(size));
    std::vector<std::string> rejected;
    const auto entries = velmora::ParseComPortList(list, &rejected);
    for (const auto& e : entries)
        if (e.path.empty() || e.path.find(';') != std::string::npos) std::abort();
    int ports[8];
    const int n = velmora::FindComPortsInList(pid, ports, capacity, list);
    if (n < -2 || n > capacity) std::abort();
    for (int i = 0; i < n; ++i)
        if (ports[i] < 1 || ports[i] > velmora::kMaxComPortNumber) std::abort();
    return 0;
}
