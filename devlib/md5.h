// MD5 message digest (RFC 1321), used by the service-mode access gate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

class Md5 {
public:
    Md5();
    void Update(const uint8_t* data, size_t len);
    void Final(uint8_t digest[16]);

    // The 32 lowercase hexadecimal digits of the digest of text.
    static std::string HexDigest(const std::string& text);

private:
    void Transform(const uint8_t block[64]);
    uint32_t state_[4];
    uint64_t bitCount_ = 0;
    uint8_t buffer_[64] = {};
};

}  // namespace velmora
