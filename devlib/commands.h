// Command frames and replies of the two model families.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

enum class ModelFamily { None, Older, Newer };

// 610 and 640 are the older family, 660 and 1160 the newer one.
ModelFamily FamilyOf(uint16_t model);

// 32-bit sum of the bytes as unsigned values (modulo 2^32).
uint32_t ByteSum(const uint8_t* bytes, uint32_t count);

// Frames four command bytes and n data bytes for the family the first command byte names
// (0x1B older, 0x05 newer). Returns the frame length (n + 12 or n + 8) with the frame in
// *frame, or -1 for an unknown first byte, no memory, or a newer-family frame whose 16-bit
// length field cannot hold n + 4.
int BuildDataFrame(const uint8_t* command, const uint8_t* data, uint32_t n, std::vector<uint8_t>* frame);

// The fixed-layout identity reply (24 data bytes and their ByteSum). 1 filled, -1 rejected.
int ParseIdentityReply(const uint8_t* reply, int len, uint16_t* model, uint16_t* variant, uint16_t* version,
                       uint8_t* runsApplication, char* serial /* 7 */);
// The identity text of the newer family (32 bytes). 1 filled, -1 rejected.
int ParseIdentityText(const uint8_t* reply, int len, uint16_t* model, uint16_t* variant, uint16_t* version,
                      uint8_t* runsApplication, char* serial /* 7 */);

// Four BCD digits as a number: the value printed as four hex digits, read as decimal up to
// the first non-digit (0x0205 -> 205).
uint16_t BcdVersion(uint16_t value);

// Transport result of Transact -> library code: -1 -> -1, -2 -> -3, -3 -> -2, -4 -> -4,
// anything else -> 1.
int MapTransactResult(int transactResult);

}  // namespace velmora
