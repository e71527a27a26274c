// quillon-fwpack: checks the firmware images and pads each to its resource size, ready to be
// linked into the program.
//
//   quillon-fwpack --in DIR --out DIR --version DDDD [--esp32-only]
//
// Reads from the input folder controller.hex (resource 140; absent in an ESP32-only build),
// bootloader.bin (141), partitions.bin (142), application.bin (144) and spiffs.bin (145; the
// placeholder when absent) and writes FW_FILE_<id>.bin: the image followed by '0' up to the
// resource size. Stops with a message, and writes nothing, when an image is missing, too
// large, or would not come back whole through the end marker (a run of 17 '0' characters, or
// '0' characters at its end). The controller image must read without a record error and carry
// the version that the program's name will show (DDDD, hundredths).
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"

namespace {

namespace fs = std::filesystem;
using namespace firmware;

bool Fail(const std::string& message) {
    std::fprintf(stderr, "quillon-fwpack: %s\n", message.c_str());
    return false;
}

bool ReadFile(const fs::path& path, std::string* bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return Fail("cannot read " + path.string());
    bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

// Line of the record the readers stopped on: they leave the position just past it.
int LineOf(std::string_view text, int offset) {
    --offset;
    int line = 1;
    for (int i = 0; i < offset && i < static_cast<int>(text.size()); ++i) line += text[i] == '\n';
    return line;
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

// The readers over the padded text, exactly as the program will run them.
bool CheckController(const std::string& where, std::span<const char> text, int expectedVersion,
                     std::string* summary) {
    ResetHexBlockAddresses();
    std::array<char, kVersionHexMin> versionHex{};
    const int digits = ReadHexVersionBytes(text, versionHex);
    if (digits < 0)
        return Fail(where + ": record error in line " +
                    std::to_string(LineOf(std::string_view(text.data(), text.size()), HexState().readPosition)));
    if (digits < 12)
        return Fail(where + ": no complete version block (six bytes at 0x404010); a build without "
                    "controller firmware leaves controller.hex out");
    int b[6];
    for (int i = 0; i < 6; ++i) b[i] = std::stoi(std::string(&versionHex[2 * i], 2), nullptr, 16);
    const int model = b[0] + 256 * b[1];
    const int version = b[2] + 256 * b[3];
    const int variant = b[4] + 256 * b[5];
    if (version != expectedVersion) {
        char want[64];
        std::snprintf(want, sizeof want, "%04d", version);
        return Fail(where + ": carries firmware version " + std::to_string(version) +
                    (version <= 9999 ? ", configure with -DQUILLON_FIRMWARE_VERSION=" + std::string(want)
                                     : ", more than four digits can show") +
                    " so that the program's name shows it");
    }

    ResetHexBlockAddresses();
    std::vector<uint8_t> block(kHexBlockBufferSize);
    uint64_t total = 0;
    int blocks = 0;
    for (;;) {
        uint32_t start = 0;
        const int n = ReadHexBlock(text, &start, block);
        if (n < 0)
            return Fail(where + ": record error in line " +
                        std::to_string(LineOf(std::string_view(text.data(), text.size()), HexState().readPosition)) +
                        " (or data below an address already written, past 0xFFFFFFFF or beyond the controller's "
                        "flash of " + std::to_string(kControllerFlashSize / 1024) + " KiB)");
        total += static_cast<uint64_t>(n);
        ++blocks;
        if (n < kHexBlockSize) break;
    }
    uint32_t first = 0, end = 0;
    if (GetHexAddressRange(text, &first, &end) != 1)
        return Fail(where + ": no address range (no data record, a record error, or more than the controller's flash)");
    // The blocks fill every gap, so they hold exactly the range.
    if (total != static_cast<uint64_t>(end) - first)
        return Fail(where + ": the blocks hold " + std::to_string(total) + " bytes, the range " + Hex(first) + "-" +
                    Hex(end) + " " + std::to_string(end - first));

    std::ostringstream s;
    s << "model " << model << ", version " << version << ", variant " << variant << ", " << Hex(first) << "-"
      << Hex(end) << ", " << blocks << " blocks of " << total << " bytes";
    *summary = s.str();
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: quillon-fwpack --in DIR --out DIR --version DDDD [--esp32-only]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path in, out;
    std::string versionDigits;
    bool esp32Only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--esp32-only") {
            esp32Only = true;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const char* value = argv[++i];
        if (arg == "--in") in = value;
        else if (arg == "--out") out = value;
        else if (arg == "--version") versionDigits = value;
        else return Usage();
    }
    if (in.empty() || out.empty() || versionDigits.size() != 4 ||
        versionDigits.find_first_not_of("0123456789") != std::string::npos)
        return Usage();
    const int expectedVersion = std::stoi(versionDigits);

    struct Packed {
        int id;
        std::string padded;
    };
    std::vector<Packed> packed;
    bool ok = true;
    for (const FwFile& f : kFwFiles) {
        const std::string name = f.id == kControllerImageId ? "controller.hex" : std::string(f.fileName);
        const fs::path path = in / name;
        const std::string where = path.string() + " (FW_FILE " + std::to_string(f.id) + ")";
        std::string image;
        std::string summary;
        if (f.id == kControllerImageId && esp32Only) {
            if (fs::exists(path)) {
                ok = Fail(where + ": present, but the build was configured without controller image; configure again");
                continue;
            }
            summary = "no controller image (ESP32-only build)";
        } else if (f.id == kSpiffsImageId && !fs::exists(path)) {
            image = kPlaceholderImage;
            summary = "placeholder";
        } else if (!fs::exists(path)) {
            ok = Fail(where + ": missing");
            continue;
        } else if (!ReadFile(path, &image)) {
            ok = false;
            continue;
        }

        if (image.size() + kEndMarkerLength > f.resourceSize) {
            ok = Fail(where + ": " + std::to_string(image.size()) + " bytes are too many; the resource holds " +
                      std::to_string(f.resourceSize - kEndMarkerLength) + " bytes of image and at least " +
                      std::to_string(kEndMarkerLength) + " of padding");
            continue;
        }
        std::string padded = image;
        padded.resize(f.resourceSize, kPaddingByte);
        const size_t length = FwImageLength(padded);
        if (length != image.size()) {
            ok = Fail(where + (length + kEndMarkerLength <= image.size()
                                   ? ": holds a run of 17 '0' bytes at offset " + std::to_string(length) +
                                         ", which would end the image there"
                                   : ": ends in '0' bytes, which the padding would swallow (the image would end at " +
                                         std::to_string(length) + ")"));
            continue;
        }
        if (f.id == kControllerImageId && !esp32Only &&
            !CheckController(where, padded, expectedVersion, &summary)) {
            ok = false;
            continue;
        }
        std::printf("FW_FILE %d: %zu bytes%s%s\n", f.id, image.size(), summary.empty() ? "" : "; ",
                    summary.c_str());
        packed.push_back({f.id, std::move(padded)});
    }
    if (!ok) return 1;

    std::error_code ec;
    fs::create_directories(out, ec);
    for (const Packed& p : packed) {
        const fs::path path = out / ("FW_FILE_" + std::to_string(p.id) + ".bin");
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(p.padded.data(), static_cast<std::streamsize>(p.padded.size()));
        f.close();
        if (!f) {
            Fail("cannot write " + path.string());
            return 1;
        }
    }
    return 0;
}
