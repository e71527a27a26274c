// Small helpers that write Intel HEX records for the tests, independently of the generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/hex_reader.h"

namespace hextest {

// One record with its checksum and CR LF, upper-case digits.
inline std::string Record(int type, unsigned address, const std::vector<uint8_t>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + static_cast<unsigned>(type);
    char buf[16];
    std::string r = ":";
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF,
                  static_cast<unsigned>(type));
    r += buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        r += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return r + buf + "\r\n";
}

inline std::string Data(unsigned address, const std::vector<uint8_t>& data) { return Record(0, address, data); }
inline std::string Linear(unsigned upper) {
    return Record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
inline std::string StartLinear(uint32_t entry) {
    return Record(5, 0, {static_cast<uint8_t>(entry >> 24), static_cast<uint8_t>(entry >> 16),
                         static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)});
}
inline const std::string kEof = ":00000001FF\r\n";

// n bytes counting up from first.
inline std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// The text on the heap with exactly its own size, so that a read past its end is caught.
inline std::vector<char> Text(const std::string& s) { return std::vector<char>(s.begin(), s.end()); }

// The same text followed by '0' padding, as in a resource.
inline std::vector<char> Padded(const std::string& s, size_t padding = 40) {
    return Text(s + std::string(padding, '0'));
}

// Starts every test with the reader state of a fresh program.
inline void ResetReader() { firmware::HexState() = firmware::HexReaderState{}; }

}  // namespace hextest
