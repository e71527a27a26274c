// ReadHexBlock over any text, as the update sequence calls it: blocks until a short one or an
// error. Every block must stay within its buffer, start at an address the previous ones did
// not reach, and the whole must fit the controller's flash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/hex_reader.h"

using namespace firmware;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> text(data, data + size);  // exactly its size: reads past it are caught
    HexState() = HexReaderState{};
    std::vector<uint8_t> buffer(kHexBlockBufferMin);
    uint64_t nextFree = 0;
    bool any = false;
    uint64_t first = 0;
    for (int calls = 0; calls < 64; ++calls) {
        uint32_t start = 0;
        const int n = ReadHexBlock(text, &start, buffer);
        if (n < 0) break;
        if (static_cast<size_t>(n) > buffer.size()) std::abort();
        if (n > 0) {
            if (any && start < nextFree) std::abort();  // a block went back
            if (!any) first = start;
            any = true;
            nextFree = uint64_t{start} + static_cast<uint32_t>(n);
            if (nextFree - first > kControllerFlashSize) std::abort();
        }
        if (n < kHexBlockSize) break;
    }
    return 0;
}
