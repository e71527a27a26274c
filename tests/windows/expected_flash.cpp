// Writes the flash the controller image must leave on a device, from the flash base on (0xFF
// where the image has nothing), read from this program's own FW_FILE resource with the
// program's HEX reader: the end-to-end tests under Wine compare an emulator's --flash-out with it.
// Usage: expected_flash OUTPUT
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: expected_flash OUTPUT\n");
        return 2;
    }
    const auto text = firmware::FindFwFile(firmware::kControllerImageId);
    if (!text) {
        std::fprintf(stderr, "no controller image in this program\n");
        return 1;
    }
    constexpr uint32_t kFlashBase = 0x400000;
    std::vector<uint8_t> flash;
    firmware::HexState() = firmware::HexReaderState{};
    std::vector<uint8_t> block(firmware::kHexBlockBufferSize);
    for (;;) {
        uint32_t start = 0;
        const int n = firmware::ReadHexBlock(*text, &start, block);
        if (n <= 0) break;
        if (start < kFlashBase) {
            std::fprintf(stderr, "a block at 0x%X, below the flash base\n", start);
            return 1;
        }
        const size_t at = start - kFlashBase;
        if (flash.size() < at + static_cast<size_t>(n)) flash.resize(at + static_cast<size_t>(n), 0xFF);
        std::copy_n(block.begin(), n, flash.begin() + static_cast<long>(at));
        if (n < firmware::kHexBlockSize) break;
    }
    if (flash.empty()) {
        std::fprintf(stderr, "the controller image holds no data\n");
        return 1;
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(flash.data(), 1, flash.size(), out) != flash.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
