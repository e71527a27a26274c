// quillon-fwgen: makes the deterministic synthetic firmware images of a development build.
//
//   quillon-fwgen --out DIR [--model 1160] [--version 350] [--variant 0]
//
// Writes into DIR:
//   controller.hex   Intel HEX, CR LF, upper-case digits: an extended linear address record,
//                    the version block (model, version, variant as 16-bit little-endian
//                    numbers) at 0x404010, 16-byte data records from 0x404100 up to 0x4762AB
//                    with an extended linear address record at every 64 KiB boundary, a start
//                    linear address record and the end-of-file record. One record is split in
//                    two at a section boundary, as a linker does: 1,314,695 characters in
//                    29,223 records.
//   bootloader.bin   17,472 bytes   } ESP32 images: pseudo-random bytes behind an image magic,
//   partitions.bin    3,072 bytes   } a partition table padded with 0xFF. Nothing reads their
//   application.bin 590,736 bytes   } fields; they only need the right sizes.
//   spiffs.bin       the placeholder "Spiffs.bin" CR LF "Anfang0" CR LF
//
// The same options always give the same bytes. No image holds a run of 17 '0' characters or
// ends in '0' (the resource padding would swallow it).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t kVersionBlock = 0x404010;
constexpr uint32_t kDataFirst = 0x404100;
constexpr uint32_t kDataEnd = 0x4762AC;      // one past the last data byte
constexpr uint32_t kSectionBoundary = 0x43A5C8;  // splits the one record that spans it
constexpr uint32_t kEntryPoint = 0x00404101;

constexpr size_t kBootloaderSize = 17472;
constexpr size_t kPartitionsSize = 3072;
constexpr size_t kApplicationSize = 590736;

// splitmix64: small, fast, and the same sequence everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint8_t Byte() {
        if (left_ == 0) {
            uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            bits_ = z ^ (z >> 31);
            left_ = 8;
        }
        const auto b = static_cast<uint8_t>(bits_);
        bits_ >>= 8;
        --left_;
        return b;
    }

private:
    uint64_t state_;
    uint64_t bits_ = 0;
    int left_ = 0;
};

void AppendHexByte(std::string& out, unsigned b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[(b >> 4) & 0xF]);
    out.push_back(kDigits[b & 0xF]);
}

void AppendRecord(std::string& out, unsigned type, unsigned address, std::span<const uint8_t> data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    out.push_back(':');
    AppendHexByte(out, static_cast<unsigned>(data.size()));
    AppendHexByte(out, address >> 8);
    AppendHexByte(out, address & 0xFF);
    AppendHexByte(out, type);
    for (uint8_t b : data) {
        AppendHexByte(out, b);
        sum += b;
    }
    AppendHexByte(out, (0x100 - (sum & 0xFF)) & 0xFF);
    out += "\r\n";
}

std::string ControllerImage(int model, int version, int variant) {
    std::string out;
    out.reserve(1400000);
    uint32_t upper = 0xFFFFFFFF;
    auto data = [&](uint32_t address, std::span<const uint8_t> bytes) {
        if (address >> 16 != upper) {
            upper = address >> 16;
            const uint8_t value[] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            AppendRecord(out, 0x04, 0, value);
        }
        AppendRecord(out, 0x00, address & 0xFFFF, bytes);
    };

    const uint8_t versionBlock[] = {
        static_cast<uint8_t>(model), static_cast<uint8_t>(model >> 8),
        static_cast<uint8_t>(version), static_cast<uint8_t>(version >> 8),
        static_cast<uint8_t>(variant), static_cast<uint8_t>(variant >> 8)};
    data(kVersionBlock, versionBlock);

    Random random(0x51554C4C4F4E0140ull);
    uint8_t bytes[16];
    for (uint32_t a = kDataFirst; a < kDataEnd;) {
        // Records end on 16-byte boundaries (so never cross 64 KiB), at the section boundary and
        // at the end of the data.
        uint32_t n = std::min<uint32_t>(16 - (a & 15), kDataEnd - a);
        if (a < kSectionBoundary) n = std::min(n, kSectionBoundary - a);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = random.Byte();
        data(a, std::span<const uint8_t>(bytes, n));
        a += n;
    }

    const uint8_t entry[] = {static_cast<uint8_t>(kEntryPoint >> 24), static_cast<uint8_t>(kEntryPoint >> 16),
                             static_cast<uint8_t>(kEntryPoint >> 8), static_cast<uint8_t>(kEntryPoint)};
    AppendRecord(out, 0x05, 0, entry);
    AppendRecord(out, 0x01, 0, {});
    return out;
}

std::string EspImage(size_t size, uint64_t seed) {
    Random random(seed);
    std::string image(size, '\0');
    for (char& c : image) c = static_cast<char>(random.Byte());
    image[0] = static_cast<char>(0xE9);  // image magic
    if (image.back() == '0') image.back() = '\x5A';  // the padding would swallow a final '0'
    return image;
}

std::string PartitionTable() {
    struct Entry {
        uint8_t type, subtype;
        uint32_t offset, size;
        const char* label;
    };
    const Entry entries[] = {
        {0x01, 0x02, 0x9000, 0x5000, "nvs"},
        {0x01, 0x00, 0xE000, 0x2000, "otadata"},
        {0x00, 0x10, 0x10000, 0x140000, "app0"},
        {0x00, 0x11, 0x150000, 0x140000, "app1"},
        {0x01, 0x82, 0x290000, 0x160000, "spiffs"},
    };
    std::string table(kPartitionsSize, static_cast<char>(0xFF));
    size_t at = 0;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) table[at++] = static_cast<char>(v >> (8 * i));
    };
    for (const Entry& e : entries) {
        table[at++] = static_cast<char>(0xAA);
        table[at++] = 0x50;
        table[at++] = static_cast<char>(e.type);
        table[at++] = static_cast<char>(e.subtype);
        put32(e.offset);
        put32(e.size);
        const std::string_view label = e.label;
        for (size_t i = 0; i < 16; ++i) table[at++] = i < label.size() ? label[i] : '\0';
        put32(0);
    }
    return table;
}

// The padding rule: no run of 17 '0' characters, and no '0' at the end.
bool FitsPadding(std::string_view image, std::string_view name) {
    size_t run = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        run = image[i] == '0' ? run + 1 : 0;
        if (run == 17) {
            std::fprintf(stderr, "quillon-fwgen: %s holds 17 '0' characters at offset %zu\n",
                         std::string(name).c_str(), i + 1 - run);
            return false;
        }
    }
    if (!image.empty() && image.back() == '0') {
        std::fprintf(stderr, "quillon-fwgen: %s ends in '0'\n", std::string(name).c_str());
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) {
        std::fprintf(stderr, "quillon-fwgen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool ParseNumber(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high) return false;
    *value = static_cast<int>(v);
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: quillon-fwgen --out DIR [--model N] [--version N] [--variant N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    int model = 1160, version = 350, variant = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) return Usage();
        const char* value = argv[++i];
        if (arg == "--out") {
            out = value;
        } else if (arg == "--model") {
            if (!ParseNumber(value, 0, 0xFFFF, &model)) return Usage();
        } else if (arg == "--version") {
            if (!ParseNumber(value, 0, 0xFFFF, &version)) return Usage();
        } else if (arg == "--variant") {
            if (!ParseNumber(value, 0, 0xFFFF, &variant)) return Usage();
        } else {
            return Usage();
        }
    }
    if (out.empty()) return Usage();

    struct Image {
        const char* name;
        std::string bytes;
    };
    const Image images[] = {
        {"controller.hex", ControllerImage(model, version, variant)},
        {"bootloader.bin", EspImage(kBootloaderSize, 141)},
        {"partitions.bin", PartitionTable()},
        {"application.bin", EspImage(kApplicationSize, 144)},
        {"spiffs.bin", "Spiffs.bin\r\nAnfang0\r\n"},
    };
    for (const Image& image : images)
        if (!FitsPadding(image.bytes, image.name)) return 1;

    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    for (const Image& image : images)
        if (!WriteFile(out + "/" + image.name, image.bytes)) return 1;
    return 0;
}
