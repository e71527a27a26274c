// Firmware images for the tests: a small controller image in Intel HEX with its version block,
// ESP32 images, each padded as a resource is.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "firmware/resources.h"
#include "tests/firmware/hex_text.h"

namespace apptest {

// A data byte of the test images: no two neighbours equal, so no run of '0' digits can look
// like the resources' end marker.
inline uint8_t PatternByte(size_t i, uint8_t seed) { return static_cast<uint8_t>(i * 7 + seed); }

// The bytes of the controller image as the device's flash must hold them from `base` on.
inline std::vector<uint8_t> ControllerBytes(int model, int version, int variant, size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = PatternByte(i, 3);
    const int fields[] = {model, version, variant};
    for (size_t f = 0; f < 3 && 2 * f + 1 < size; ++f) {
        data[2 * f] = static_cast<uint8_t>(fields[f]);
        data[2 * f + 1] = static_cast<uint8_t>(fields[f] >> 8);
    }
    return data;
}

// Intel HEX of data placed from address base on, 32 bytes a record.
inline std::string HexOf(const std::vector<uint8_t>& data, uint32_t base) {
    std::string text;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t at = 0; at < data.size(); at += 32) {
        const uint32_t address = base + static_cast<uint32_t>(at);
        if (address >> 16 != upper) {
            upper = address >> 16;
            text += hextest::Linear(upper);
        }
        const size_t n = std::min<size_t>(32, data.size() - at);
        // A record never crosses a 64 KiB boundary.
        const size_t room = 0x10000 - (address & 0xFFFF);
        const size_t take = std::min(n, room);
        text += hextest::Data(address & 0xFFFF, std::vector<uint8_t>(data.begin() + static_cast<long>(at),
                                                                     data.begin() + static_cast<long>(at + take)));
        if (take < n) {
            upper = (address + static_cast<uint32_t>(take)) >> 16;
            text += hextest::Linear(upper);
            text += hextest::Data(0, std::vector<uint8_t>(data.begin() + static_cast<long>(at + take),
                                                          data.begin() + static_cast<long>(at + n)));
        }
    }
    return text + hextest::kEof;
}

inline std::vector<uint8_t> FileBytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = PatternByte(i, seed);
    return data;
}

// The images of one test program, held as padded resources.
class TestImages {
public:
    static constexpr uint32_t kBase = 0x404010;

    TestImages() {
        controllerBytes = ControllerBytes(1160, 350, 0, 2 * 64496 + 10000);
        controllerHex = HexOf(controllerBytes, kBase);
        files[141] = FileBytes(1000, 11);
        files[142] = FileBytes(300, 22);
        files[144] = FileBytes(70000, 33);
        spiffs = "Spiffs.bin\r\nAnfang0\r\n";
    }

    // The store with the images as they stand now; missing ids are left out.
    firmware::TableResourceStore& Store() {
        padded.clear();
        std::vector<firmware::TableResourceStore::Entry> entries;
        auto add = [&](int id, const std::string& bytes) {
            padded[id] = std::vector<char>(bytes.begin(), bytes.end());
            padded[id].insert(padded[id].end(), 40, '0');
            entries.push_back({"FW_FILE", id, std::span<const char>(padded[id])});
        };
        if (withController) add(140, controllerHex);
        for (auto& [id, bytes] : files) add(id, std::string(bytes.begin(), bytes.end()));
        if (withSpiffs) add(145, spiffs);
        store = std::make_unique<firmware::TableResourceStore>(std::move(entries));
        return *store;
    }

    std::vector<uint8_t> controllerBytes;
    std::string controllerHex;
    std::map<int, std::vector<uint8_t>> files;
    std::string spiffs;
    bool withController = true;
    bool withSpiffs = true;

private:
    std::map<int, std::vector<char>> padded;
    std::unique_ptr<firmware::TableResourceStore> store;
};

}  // namespace apptest
