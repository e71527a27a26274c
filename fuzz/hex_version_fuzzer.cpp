// ReadHexVersionBytes over any text, into buffers of every size from none to the smallest
// the program uses: the digits stay inside the buffer and are zero-terminated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/hex_reader.h"

using namespace firmware;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t room = data[0] % (kVersionHexMin + 1);
    const std::vector<char> text(data + 1, data + size);
    HexState() = HexReaderState{};
    std::vector<char> hex(room, 'x');
    const int n = ReadHexVersionBytes(text, hex);
    if (n > 0 && (static_cast<size_t>(n) >= room || hex[static_cast<size_t>(n)] != '\0')) std::abort();
    if (n >= 0 && HexState().readPosition != 0) std::abort();
    return 0;
}
