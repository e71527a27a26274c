// GetHexAddressRange over any text: a range it reports runs forwards and fits the flash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/hex_reader.h"

using namespace firmware;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> text(data, data + size);
    HexState() = HexReaderState{};
    uint32_t first = 0, end = 0;
    if (GetHexAddressRange(text, &first, &end) == 1) {
        if (end < first || end - first > kControllerFlashSize) std::abort();
    }
    if (HexState().readPosition < 0 || HexState().readPosition > static_cast<int>(size)) std::abort();
    return 0;
}
