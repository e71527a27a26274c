// Intel HEX reader for the controller image: one record at a time, download blocks, the
// address range of the whole image, and the version window.
//
// Every reader takes the text with its size (the size of the resource that holds it) and never
// reads past that end. The readers share one process-wide state (HexState()): the read
// position, the upper address and the next expected address. They run on one thread only and
// two scans must never interleave; nothing is locked.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace firmware {

// Data digits of one record: at most 64 (32 bytes) and a terminating zero.
inline constexpr int kMaxDataDigits = 64;
using HexDigits = std::array<char, kMaxDataDigits + 1>;

// Record types of the Intel HEX format.
inline constexpr int kHexData = 0x00;
inline constexpr int kHexEndOfFile = 0x01;
inline constexpr int kHexExtendedSegmentAddress = 0x02;
inline constexpr int kHexStartSegmentAddress = 0x03;
inline constexpr int kHexExtendedLinearAddress = 0x04;
inline constexpr int kHexStartLinearAddress = 0x05;

// A block is full once it holds this many bytes; a shorter block is the image's last.
inline constexpr int kHexBlockSize = 64496;
// Smallest buffer ReadHexBlock accepts: a full block less one byte plus one 32-byte record.
inline constexpr size_t kHexBlockBufferMin = 64528;
// The update sequence's block buffers.
inline constexpr size_t kHexBlockBufferSize = 74512;
// Gap bytes (0xFF) placed per pass before the block-size test runs again.
inline constexpr uint32_t kHexGapPass = 16;

// Full addresses of the version window: the version block is its first six bytes.
inline constexpr uint32_t kVersionWindowFirst = 0x404010;
inline constexpr uint32_t kVersionWindowLast = 0x404020;
// Smallest buffer for ReadHexVersionBytes: 17 bytes as digits and a terminating zero.
inline constexpr size_t kVersionHexMin = 35;

// The controller's flash holds this many bytes: an image, and so any gap inside it, spans at
// most this much from its first byte to its end.
inline constexpr uint32_t kControllerFlashSize = 0x100000;
// One past the last address a record may reach.
inline constexpr uint64_t kHexAddressSpace = uint64_t{1} << 32;

// Parser results.
inline constexpr int kHexNoRecord = -1;    // no ":" where a record must begin (or the text ended)
inline constexpr int kHexBadChecksum = -2; // checksum wrong, or a field holds a non-hex character
inline constexpr int kHexTooLong = -4;     // more than 64 data digits

// The one reader state of the program. Starts at 0.
struct HexReaderState {
    int readPosition = 0;              // offset of the next record in the text
    uint32_t upperAddress = 0;         // added to every record address while reading blocks
    uint32_t nextExpectedAddress = 0;  // address the next block byte must have; 0 = none yet
    // What the blocks of this download have placed so far: their first address and one past
    // their last byte (downloadStarted false: nothing yet). Later blocks never go below the
    // end, and the whole stays within kControllerFlashSize.
    bool downloadStarted = false;
    uint32_t downloadFirst = 0;
    uint64_t downloadEnd = 0;
};
HexReaderState& HexState();

// Upper address and next expected address to 0, and a new download with nothing placed: done
// before the version scan and before the first block of a download. The read position is not
// touched.
void ResetHexBlockAddresses();

// Parses the record at the read position. Returns the number of data digits (2 x count) and
// stores the 16-bit address, the type and the digits (zero-terminated); or kHexNoRecord,
// kHexBadChecksum, kHexTooLong. The read position moves past the record in every case (past
// the 9 header characters when there is no ":"), never beyond the end of the text.
int ParseHexRecord(std::span<const char> text, int* address, int* type, HexDigits* dataHex);

// Reads the next download block into buffer (at least kHexBlockBufferMin bytes, else -2).
// Returns the number of bytes placed (0 or more; fewer than kHexBlockSize marks the last block)
// with the address of the block's first byte in startAddress (not written when the call met
// no data record), or -2 when a record is in error (also what follows the end-of-file record),
// when data go below bytes this download already placed (in this block or an earlier one),
// when a record reaches past 0xFFFFFFFF, or when the download would span more than
// kControllerFlashSize. Continues where the last call stopped.
int ReadHexBlock(std::span<const char> text, uint32_t* startAddress, std::span<uint8_t> buffer);

// Walks the whole text: firstAddress = full address of the first data record, endAddress =
// full address of the last one plus its byte count. Returns 1, or -1 when a record is in error,
// when data go backwards, when a record reaches past 0xFFFFFFFF, when the range is longer than
// kControllerFlashSize, or when the image holds no data record.
int GetHexAddressRange(std::span<const char> text, uint32_t* firstAddress, uint32_t* endAddress);

// Collects the digits of every data byte in the version window, in text order, zero-terminated,
// into versionHex (at least kVersionHexMin characters; digits that would not fit are dropped).
// Ends at the end-of-file or start linear address record with the read position back at 0 and
// returns the number of digits (0 when none); -1 when a record is in error or reaches past
// 0xFFFFFFFF.
int ReadHexVersionBytes(std::span<const char> text, std::span<char> versionHex);

}  // namespace firmware
