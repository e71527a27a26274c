// The emulator's side of the port: any byte stream, fed in pieces, cut into frames and
// answered, with restarts carried out as the emulator does.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "sim/newer_device.h"

using namespace quillon_sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t setup = in.Byte();
    DeviceState state = MakeDevice(setup & 1 ? 660 : 1160);
    state.serviceMode = (setup & 2) != 0;
    state.runsApplication = (setup & 4) == 0;
    SetEsp32Present(state, (setup & 8) == 0);
    state.flashSize = 0x10000;  // keeps the flash map small
    const size_t piece = 1 + in.Byte();
    FrameAssembler frames;
    const auto stream = in.Rest();
    for (size_t at = 0; at < stream.size(); at += piece) {
        frames.Feed(stream.subspan(at, std::min(piece, stream.size() - at)));
        if (frames.Pending() > 2 * FrameAssembler::kMaxFrame) std::abort();
        while (auto frame = frames.Next()) {
            const Response r = HandleFrame(state, *frame);
            if (r.restart != RestartInto::None) {
                PowerDown(state, r.restart);
                PowerUp(state);
            }
        }
        frames.TakeSkipped();
    }
    return 0;
}
