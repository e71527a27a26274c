#include "firmware/hex_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace firmware {

namespace {

// Value of a hex digit in either case, or 0xFF.
struct DigitTable {
    uint8_t value[256];
    constexpr DigitTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = 0xFF;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<uint8_t>(10 + i);
            value['a' + i] = static_cast<uint8_t>(10 + i);
        }
    }
};
constexpr DigitTable kDigits;

// Two digits as a byte; -1 when one of them is not a hex digit.
inline int HexByte(const char* p) {
    const uint8_t hi = kDigits.value[static_cast<unsigned char>(p[0])];
    const uint8_t lo = kDigits.value[static_cast<unsigned char>(p[1])];
    if ((hi | lo) & 0xF0) return -1;
    return hi << 4 | lo;
}

// Texts are resources of a few megabytes; offsets are ints as in the reader state.
inline int TextSize(std::span<const char> text) {
    return text.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
}

// One parsed record. The data bytes are decoded while the checksum is summed, so the block
// reader copies them without a second pass over the digits.
struct Record {
    int address = 0;
    int type = 0;
    int digits = 0;                  // number of data digits
    const char* text = nullptr;      // the data digits as they stand in the text
    uint8_t bytes[kMaxDataDigits / 2];
};

int ParseRecord(std::span<const char> text, Record* rec) {
    HexReaderState& st = HexState();
    const int size = TextSize(text);
    int pos = st.readPosition;
    if (pos < 0 || pos > size) pos = size;

    // ":" + count + address + type.
    if (size - pos < 9) {
        st.readPosition = size;
        return kHexNoRecord;
    }
    const char* r = text.data() + pos;
    st.readPosition = pos + 9;
    if (r[0] != ':') return kHexNoRecord;

    const int count = HexByte(r + 1);
    const int addrHi = HexByte(r + 3);
    const int addrLo = HexByte(r + 5);
    const int recordType = HexByte(r + 7);
    if ((count | addrHi | addrLo | recordType) < 0) return kHexBadChecksum;

    // Data and checksum must lie inside the text; the two line-end characters are skipped
    // without looking at them (the last record may lack them).
    const int digits = 2 * count;
    if (size - st.readPosition < digits + 2) {
        st.readPosition = size;
        return kHexNoRecord;
    }
    st.readPosition = static_cast<int>(std::min<long long>(pos + 9LL + digits + 4, size));

    const char* data = r + 9;
    unsigned sum = static_cast<unsigned>(count + addrHi + addrLo + recordType);
    int bad = 0;
    const int kept = std::min(count, kMaxDataDigits / 2);
    for (int i = 0; i < kept; ++i) {
        const int b = HexByte(data + 2 * i);
        bad |= b;
        sum += static_cast<unsigned>(b);
        rec->bytes[i] = static_cast<uint8_t>(b);
    }
    for (int i = kept; i < count; ++i) {
        const int b = HexByte(data + 2 * i);
        bad |= b;
        sum += static_cast<unsigned>(b);
    }
    const int checksum = HexByte(data + digits);
    if (bad < 0 || checksum < 0 || ((0x100 - (sum & 0xFF)) & 0xFF) != static_cast<unsigned>(checksum))
        return kHexBadChecksum;
    if (digits > kMaxDataDigits) return kHexTooLong;

    rec->address = addrHi << 8 | addrLo;
    rec->type = recordType;
    rec->digits = digits;
    rec->text = data;
    return digits;
}

// The value of an extended address record: its first two data bytes. false when the record is
// too short to hold them.
inline bool AddressValue(const Record& rec, uint32_t* value) {
    if (rec.digits < 4) return false;
    *value = static_cast<uint32_t>(rec.bytes[0] << 8 | rec.bytes[1]);
    return true;
}

// The upper address an extended segment (value × 16) or extended linear (value << 16) address
// record sets. false when the record is too short to hold its value.
inline bool UpperAddress(const Record& rec, uint32_t* upper) {
    uint32_t value = 0;
    if (!AddressValue(rec, &value)) return false;
    *upper = rec.type == kHexExtendedSegmentAddress ? value * 16 : value << 16;
    return true;
}

// The full address of a data record under upper, or false when its bytes would reach past
// 0xFFFFFFFF (the next address would wrap to the bottom of the address space).
inline bool FullAddress(uint32_t upper, const Record& rec, uint32_t* address) {
    const uint64_t full = uint64_t{upper} + static_cast<uint32_t>(rec.address);
    if (full + static_cast<uint32_t>(rec.digits / 2) > kHexAddressSpace) return false;
    *address = static_cast<uint32_t>(full);
    return true;
}

// Notes bytes [at, at + count) placed by the block reader.
inline void NotePlaced(HexReaderState& st, uint32_t at, uint32_t count) {
    if (!st.downloadStarted) {
        st.downloadStarted = true;
        st.downloadFirst = at;
    }
    st.downloadEnd = uint64_t{at} + count;
}

}  // namespace

HexReaderState& HexState() {
    static HexReaderState state;
    return state;
}

void ResetHexBlockAddresses() {
    HexReaderState& st = HexState();
    st.upperAddress = 0;
    st.nextExpectedAddress = 0;
    st.downloadStarted = false;
    st.downloadFirst = 0;
    st.downloadEnd = 0;
}

int ParseHexRecord(std::span<const char> text, int* address, int* type, HexDigits* dataHex) {
    Record rec;
    const int n = ParseRecord(text, &rec);
    if (n < 0) return n;
    std::memcpy(dataHex->data(), rec.text, static_cast<size_t>(n));
    (*dataHex)[static_cast<size_t>(n)] = '\0';
    *address = rec.address;
    *type = rec.type;
    return n;
}

int ReadHexBlock(std::span<const char> text, uint32_t* startAddress, std::span<uint8_t> buffer) {
    if (buffer.size() < kHexBlockBufferMin || startAddress == nullptr) return -2;
    HexReaderState& st = HexState();
    Record rec;
    int placed = 0;
    uint32_t blockStart = 0;

    while (placed < kHexBlockSize) {
        const int recordStart = st.readPosition;
        const int n = ParseRecord(text, &rec);
        if (n < 0) return -2;

        switch (rec.type) {
        case kHexData: {
            uint32_t a = 0;
            if (!FullAddress(st.upperAddress, rec, &a)) return -2;
            const uint32_t count = static_cast<uint32_t>(n / 2);
            if (st.nextExpectedAddress == 0) {
                // After an extended linear address record inside a block the data must go on
                // right after the block's last byte; a jump is filled like any other gap, so
                // that every byte keeps its own address.
                st.nextExpectedAddress = placed > 0 ? blockStart + static_cast<uint32_t>(placed) : a;
            }
            // Data below bytes already placed would land at the wrong addresses, whether the
            // jump back comes inside a block or at the start of the next one.
            if (a < st.nextExpectedAddress || (st.downloadStarted && a < st.downloadEnd)) return -2;
            // Neither a gap nor the whole download may outgrow the flash: a jump far ahead
            // would otherwise be filled with gigabytes of 0xFF.
            const uint64_t origin = st.downloadStarted ? st.downloadFirst : st.nextExpectedAddress;
            if (uint64_t{a} + count - origin > kControllerFlashSize) return -2;
            if (a == st.nextExpectedAddress) {
                if (placed == 0) blockStart = *startAddress = a;
                std::memcpy(buffer.data() + placed, rec.bytes, count);
                placed += static_cast<int>(count);
                if (count > 0) NotePlaced(st, a, count);
                st.nextExpectedAddress += count;
            } else {
                // A gap: 0xFF for at most 16 addresses in this pass, then the same record again.
                st.readPosition = recordStart;
                const uint32_t fill = std::min(a - st.nextExpectedAddress, kHexGapPass);
                if (placed == 0) blockStart = *startAddress = st.nextExpectedAddress;
                std::memset(buffer.data() + placed, 0xFF, fill);
                placed += static_cast<int>(fill);
                NotePlaced(st, st.nextExpectedAddress, fill);
                st.nextExpectedAddress += fill;
            }
            break;
        }
        case kHexEndOfFile:
            st.upperAddress = 0;
            return placed;
        case kHexExtendedSegmentAddress:
            if (!UpperAddress(rec, &st.upperAddress)) return -2;
            break;
        case kHexExtendedLinearAddress:
            if (!UpperAddress(rec, &st.upperAddress)) return -2;
            st.nextExpectedAddress = 0;
            break;
        default:
            break;
        }
    }
    return placed;
}

int GetHexAddressRange(std::span<const char> text, uint32_t* firstAddress, uint32_t* endAddress) {
    HexReaderState& st = HexState();
    st.readPosition = 0;
    uint32_t upper = 0;
    bool haveData = false;
    uint32_t first = 0;
    uint64_t end = 0;  // one past the last data byte so far
    Record rec;

    for (;;) {
        const int n = ParseRecord(text, &rec);
        if (n < 0) return -1;
        switch (rec.type) {
        case kHexData: {
            uint32_t a = 0;
            if (!FullAddress(upper, rec, &a)) return -1;
            const uint32_t count = static_cast<uint32_t>(n / 2);
            if (!haveData) {
                first = a;
                haveData = true;
            } else if (a < end) {
                return -1;  // data going backwards: the block reader refuses them too
            }
            end = uint64_t{a} + count;
            // More than the flash holds: the block reader refuses such an image as well.
            if (end - first > kControllerFlashSize) return -1;
            break;
        }
        case kHexEndOfFile:
            if (!haveData) return -1;  // nothing to write, so no extent
            *firstAddress = first;
            // A range ending at the very top of the address space cannot be told in 32 bits.
            if (end >= kHexAddressSpace) return -1;
            *endAddress = static_cast<uint32_t>(end);
            return 1;
        case kHexExtendedSegmentAddress:
        case kHexExtendedLinearAddress:
            if (!UpperAddress(rec, &upper)) return -1;
            break;
        default:
            break;
        }
    }
}

int ReadHexVersionBytes(std::span<const char> text, std::span<char> versionHex) {
    HexReaderState& st = HexState();
    st.readPosition = 0;
    uint32_t upper = 0;
    // Room for whole bytes only, and the terminating zero.
    const size_t room = versionHex.empty() ? 0 : (versionHex.size() - 1) & ~size_t{1};
    size_t count = 0;
    if (!versionHex.empty()) versionHex[0] = '\0';
    Record rec;

    for (;;) {
        const int n = ParseRecord(text, &rec);
        if (n < 0) return -1;
        switch (rec.type) {
        case kHexData: {
            uint32_t a = 0;
            if (!FullAddress(upper, rec, &a)) return -1;
            for (int i = 0; i < n; i += 2) {
                const uint32_t at = a + static_cast<uint32_t>(i / 2);
                if (at < kVersionWindowFirst || at > kVersionWindowLast || count + 2 > room) continue;
                versionHex[count++] = rec.text[i];
                versionHex[count++] = rec.text[i + 1];
                versionHex[count] = '\0';
            }
            break;
        }
        case kHexEndOfFile:
        case kHexStartLinearAddress:
            st.readPosition = 0;
            return static_cast<int>(count);
        case kHexExtendedSegmentAddress:
        case kHexExtendedLinearAddress:
            if (!UpperAddress(rec, &upper)) return -1;
            break;
        default:
            break;
        }
    }
}

}  // namespace firmware
