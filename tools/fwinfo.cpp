// quillon-fwinfo: tells which firmware images this build carries (for support).
//
// Prints each embedded image's resource and real length, the controller image's version block,
// address range and download blocks, and the heading line the update program shows, whose
// version comes from this program file's name (build/bin/quillon-fwinfo links to it).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/controller_version.h"
#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "platform/system_info.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf("usage: %s\nPrints the firmware images this build carries.\n", argv[0]);
        return std::string(argv[1]) == "--help" ? 0 : 2;
    }
    using namespace firmware;

    std::printf("program: %s\n", platform::ProgramPath().c_str());
    for (const FwFile& f : kFwFiles) {
        const auto bytes = FindFwFile(f.id);
        if (!bytes) {
            std::printf("FW_FILE %d: missing\n", f.id);
            continue;
        }
        const int length = GetFwFileLength(f.id);
        const bool placeholder = !f.fileName.empty() && IsSpiffsPlaceholder(f.fileName, *bytes);
        std::printf("FW_FILE %d %-16s resource %zu bytes, image %d bytes%s\n", f.id,
                    f.fileName.empty() ? "(controller)" : std::string(f.fileName).c_str(), bytes->size(), length,
                    placeholder ? " (placeholder, not sent)" : "");
    }

    int model = 0, version = 0, variant = 0;
    std::string heading;
    const int r = ReadControllerFirmwareVersion(&model, &version, &variant,
                                                [&](const std::string& text) { heading = text; });
    if (r == 1) {
        std::printf("controller image: model %d, version %d (%.2f), variant %d\n", model, version, version / 100.0,
                    variant);
        const auto text = FindFwFile(kControllerImageId);
        ResetHexBlockAddresses();
        std::vector<uint8_t> block(kHexBlockBufferSize);
        int blocks = 0;
        long long total = 0;
        for (;;) {
            uint32_t start = 0;
            const int n = ReadHexBlock(*text, &start, block);
            if (n < 0) {
                std::printf("download blocks: record error after %d blocks\n", blocks);
                break;
            }
            ++blocks;
            total += n;
            if (n < kHexBlockSize) {
                std::printf("download blocks: %d, %lld bytes\n", blocks, total);
                break;
            }
        }
        uint32_t first = 0, end = 0;
        if (GetHexAddressRange(*text, &first, &end) == 1)
            std::printf("address range: 0x%X-0x%X (%u bytes)\n", first, end, end - first);
        else
            std::printf("address range: none (record error)\n");
    } else if (r > 1) {
        std::printf("controller image: resource missing (error %d)\n", r);
    } else {
        std::printf("controller image: no version block (ESP32-only build, %d)\n", r);
    }
    if (!heading.empty()) std::printf("heading: \"%s\"\n", heading.c_str());
    return 0;
}
