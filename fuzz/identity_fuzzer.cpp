// The identity parsers: the fixed-layout reply of the device-information request and the
// identity text of the newer family. A rejected reply changes none of the fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devlib/commands.h"

using namespace velmora;

namespace {

struct Identity {
    uint16_t model = 0x1111;
    uint16_t variant = 0x2222;
    uint16_t version = 0x3333;
    uint8_t runsApplication = 0x44;
    char serial[7] = {'k', 'e', 'e', 'p', 'm', 'e', 0};
    bool operator==(const Identity& o) const {
        return model == o.model && variant == o.variant && version == o.version &&
               runsApplication == o.runsApplication && std::memcmp(serial, o.serial, 7) == 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input on the heap, so a read past the reply is caught.
    const std::vector<uint8_t> reply(data, data + size);
    const int len = static_cast<int>(size);
    for (int which = 0; which < 2; ++which) {
        Identity id;
        const Identity before = id;
        const int r = which == 0 ? ParseIdentityReply(reply.data(), len, &id.model, &id.variant, &id.version,
                                                      &id.runsApplication, id.serial)
                                 : ParseIdentityText(reply.data(), len, &id.model, &id.variant, &id.version,
                                                     &id.runsApplication, id.serial);
        if (r != 1 && r != -1) std::abort();
        if (r == -1 && !(id == before)) std::abort();
        if (r == 1 && (id.serial[6] != '\0' || id.runsApplication > 1)) std::abort();
    }
    return 0;
}
