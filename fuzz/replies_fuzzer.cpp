// Every query of both model families against a scripted channel whose reply is the input:
// the reply parsers and record maps. A query that does not answer 1 must leave the caller's
// record exactly as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devlib/commands.h"
#include "fuzz/fuzz_input.h"
#include "platform/clock.h"
#include "tests/devlib/test_channel.h"

using namespace velmora;
using testsupport::TestChannel;

namespace {

constexpr uint16_t kModels[] = {610, 640, 660, 1160, 0};

template <typename Record, typename Query>
void Check(TestChannel& ch, Query query) {
    std::vector<uint8_t> before(sizeof(Record));
    for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<uint8_t>(0xA5 ^ i);
    auto record = std::make_unique<Record>();
    std::memcpy(record.get(), before.data(), sizeof(Record));
    const int result = query(ch, record.get());
    if (result != 1 && std::memcmp(record.get(), before.data(), sizeof(Record)) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The busy wait's pauses pass on a virtual clock.
    static platform::VirtualClock clock;
    platform::SetClock(&clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint16_t model = kModels[in.Byte() % 5];
    const uint8_t query = in.Byte();
    const uint8_t flags = in.Byte();
    TestChannel ch(model);
    ch.libraryFlag = flags >> 7;
    std::vector<uint8_t> reply;
    const auto rest = in.Rest();
    reply.assign(rest.begin(), rest.end());
    if (flags & 1) {
        // An older-family reply with a matching checksum, so the record map runs too.
        const uint32_t sum = ByteSum(reply.data(), static_cast<uint32_t>(reply.size()));
        for (int s = 24; s >= 0; s -= 8) reply.push_back(static_cast<uint8_t>(sum >> s));
    }
    if (flags & 2)
        ch.Reply(static_cast<int8_t>(flags & 0xFC) >> 2, reply);  // any transport result with these bytes
    else
        ch.Payload(reply);

    switch (query % 10) {
        case 0: Check<DeviceStatus>(ch, [](TestChannel& c, DeviceStatus* r) { return c.GetDeviceStatus(r); }); break;
        case 1:
            Check<FileSystemInfo>(ch, [&](TestChannel& c, FileSystemInfo* r) { return c.GetFileSystemInfo(query, r); });
            break;
        case 2:
            Check<DeviceParameter>(ch, [](TestChannel& c, DeviceParameter* r) { return c.GetDeviceParameter(r); });
            break;
        case 3: Check<SFModuleStatus>(ch, [](TestChannel& c, SFModuleStatus* r) { return c.GetSFModuleStatus(r); }); break;
        case 4:
            Check<SFDeviceSensors>(ch, [](TestChannel& c, SFDeviceSensors* r) { return c.GetSFDeviceSensors(r); });
            break;
        case 5:
            Check<SFDeviceTestfunction>(
                ch, [](TestChannel& c, SFDeviceTestfunction* r) { return c.GetSFDeviceTestfunction(r); });
            break;
        case 6:
            Check<SFDeviceStatisticV2>(
                ch, [](TestChannel& c, SFDeviceStatisticV2* r) { return c.GetSFDeviceStatisticV2(r); });
            break;
        case 7:
            Check<SFPrintHeadData>(ch, [](TestChannel& c, SFPrintHeadData* r) { return c.GetSFPrintHeadData(r); });
            break;
        case 8: {
            struct Page {
                uint8_t bytes[kUpdateDataBlockSize];
            };
            Check<Page>(ch, [&](TestChannel& c, Page* r) { return c.GetSFDeviceUpdateData(query, r->bytes); });
            break;
        }
        default:
            // The busy wait reads the status until it says ready or its budget is spent.
            ch.WaitWhileBusy();
            break;
    }
    return 0;
}
