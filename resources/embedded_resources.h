// The firmware images linked into the executable at build time, read-only for the program's
// lifetime. Defined by the library quillon_firmware_resources.
#pragma once

#include <span>

namespace firmware {

struct EmbeddedResource {
    const char* type;   // resource type name
    int id;             // integer resource id
    const char* begin;  // first byte
    const char* end;    // one past the last byte (padding included)
};

std::span<const EmbeddedResource> EmbeddedResourceTable();

}  // namespace firmware
