// quillon-devsim: runs one emulated device of the newer family on a pseudo-terminal until
// SIGINT, SIGTERM or SIGHUP. Prints the published path once, then one line per command on stderr.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "sim/newer_emulator.h"
#include "sim/stop_signal.h"

namespace {

using quillon_sim::EmulatorConfig;

void PrintHelp(FILE* out) {
    std::fprintf(out,
                 "Usage: quillon-devsim --link PATH [options]\n"
                 "Runs one emulated Norvik device (model 1160 or 660) on a pseudo-terminal and publishes\n"
                 "it as the symbolic link PATH; the product finds it with\n"
                 "VELMORA_COM_PORTS=\"0A1F=PATH\" (0A1E for model 660). Stops on SIGINT, SIGTERM or SIGHUP.\n"
                 "\n"
                 "Options:\n"
                 "  --link PATH             where to publish the port (required)\n"
                 "  --model 1160|660        device model (default 1160)\n"
                 "  --serial S              six-character serial number (default A00001)\n"
                 "  --serial-hex HEX        serial number as six bytes in twelve hex digits, any bytes\n"
                 "                          (a device that sends control characters)\n"
                 "  --version N             application firmware version in hundredths (default 300)\n"
                 "  --variant N             variant, 0 to 999 (default 0)\n"
                 "  --bootware              start in the boot loader (Bootware)\n"
                 "  --bootware-version N    boot loader version in hundredths (default 110)\n"
                 "  --no-esp32              the control board carries no ESP32\n"
                 "  --esp32-indicator N     sensor byte 15 as reported (198 or less: ESP32 present)\n"
                 "  --locked                device security active and locked\n"
                 "  --restart-delay MS      time the device is away when it restarts (default 1500)\n"
                 "  --install-polls N       status reads that say busy while installing (default 3)\n"
                 "  --install-error N       device error of the fault install-error (default 5)\n"
                 "  --install-fatal-error N device error of the fault install-error-fatal (default 20)\n"
                 "  --late-ms MS            delay of the fault answer-late (default 20000)\n"
                 "  --other-serial S        serial number of the fault other-serial (default Z99999)\n"
                 "  --fault NAME            switch a fault on (repeatable), see below\n"
                 "  --fault-on LETTER       reply faults and refuse-frame act only on commands whose last\n"
                 "                          byte is LETTER (a character or 0xNN), e.g. u for update data\n"
                 "  --fault-frames N        reply faults and refuse-frame act on N frames (of the --fault-on\n"
                 "                          command), then go off (default 0: for good)\n"
                 "  --fault-skip N          reply faults pass over the first N frames before they act\n"
                 "  --flap MS               a boot loop or a loose cable: the device drops off MS ms after\n"
                 "                          each time its port appears and comes back after the restart delay\n"
                 "  --flap-from WHEN        when flapping begins: start (default), bootware (the enter-Bootware\n"
                 "                          command) or commit (the commit command, accepted or refused)\n"
                 "  --throttle              move bytes at USB full-speed rates (1 ms per transaction, ~1 MB/s)\n"
                 "  --quiet                 do not log the commands\n"
                 "  --stats FILE            on exit, write what crossed the link: frames, bytes in, bytes out\n"
                 "  --state-out FILE        on exit, write the device's state: what it runs, its firmware and\n"
                 "                          serial, its service mode, and the update commands it received\n"
                 "  --flash-out FILE        on exit, write the flash from its base to the end of the last\n"
                 "                          page written (0xFF where nothing was written)\n"
                 "  --help                  this text\n"
                 "\n"
                 "Faults:\n");
    for (const auto& f : quillon_sim::AllFaults()) std::fprintf(out, "  %-20s %s\n", f.name, f.help);
}

bool ParseNumber(const char* text, long min, long max, long* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool ValidSerial(std::string_view s) {
    if (s.size() != 6) return false;
    for (char c : s)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

// The device's state at the end, one "key value" line each, for scripts and tests.
bool WriteState(const std::string& path, const quillon_sim::NewerDeviceEmulator& emulator) {
    const quillon_sim::DeviceState d = emulator.State();
    size_t enterBootware = 0, blocks = 0, commits = 0, installs = 0;
    for (const std::string& line : emulator.CommandLog()) {
        if (line.find("SetSFDeviceUpdateData kind ") != 0) continue;
        if (line.find("(enter Bootware)") != std::string::npos) ++enterBootware;
        if (line.find(" address 0x") != std::string::npos && line.find("-> acknowledged") != std::string::npos) ++blocks;
        if (line.find("(commit version") != std::string::npos) ++commits;
        if (line.find("(install ESP32 images)") != std::string::npos) ++installs;
    }
    std::string serial = d.serial;  // any bytes (--serial-hex): kept on its line
    for (char& c : serial)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const int written = std::fprintf(
        f, "runs %s\nversion %u\nvariant %u\nserial %s\nservice-mode %s\nrestarts %u\nenter-bootware-sent %zu\n"
           "blocks-written %zu\ncommits %zu\ninstalls %zu\n",
        d.runsApplication ? "application" : "bootware", d.version, d.variant, serial.c_str(), d.serviceMode ? "on" : "off",
        d.restarts, enterBootware, blocks, commits, installs);
    return std::fclose(f) == 0 && written > 0;
}

// Twelve hex digits as six bytes.
bool ParseSerialHex(std::string_view hex, std::string* out) {
    if (hex.size() != 12) return false;
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2)
        out->push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return true;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "quillon-devsim: %s\nTry 'quillon-devsim --help'.\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    EmulatorConfig config;
    long model = 1160;
    std::string serial = "A00001", otherSerial = "Z99999";
    long version = 300, variant = 0, bootwareVersion = 110, installPolls = 3, installError = 5,
         installFatal = 20, esp32Indicator = -1;
    bool bootware = false, noEsp32 = false, locked = false, quiet = false;
    std::set<quillon_sim::Fault> faults;
    std::optional<uint8_t> faultOn;
    std::string flashOut;
    std::string statsOut;
    std::string stateOut;
    long faultFrames = 0, faultSkip = 0, flapMs = 0;
    std::string flapFrom = "start";

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto number = [&](long min, long max, long* out) {
            const char* v = value();
            return v && ParseNumber(v, min, max, out);
        };
        if (arg == "--help" || arg == "-h") {
            PrintHelp(stdout);
            return 0;
        } else if (arg == "--link") {
            const char* v = value();
            if (!v || !*v) return Usage("--link needs a path");
            config.linkPath = v;
        } else if (arg == "--model") {
            if (!number(0, 65535, &model) || (model != 1160 && model != 660))
                return Usage("--model must be 1160 or 660");
        } else if (arg == "--serial" || arg == "--other-serial") {
            const char* v = value();
            if (!v || !ValidSerial(v)) return Usage(std::string(arg) + " needs six printable characters");
            (arg == "--serial" ? serial : otherSerial) = v;
        } else if (arg == "--serial-hex") {
            const char* v = value();
            if (!v || !ParseSerialHex(v, &serial)) return Usage("--serial-hex needs twelve hex digits");
        } else if (arg == "--version") {
            if (!number(0, 9999, &version)) return Usage("--version must be 0 to 9999 (hundredths)");
        } else if (arg == "--variant") {
            if (!number(0, 999, &variant)) return Usage("--variant must be 0 to 999");
        } else if (arg == "--bootware-version") {
            if (!number(0, 9999, &bootwareVersion)) return Usage("--bootware-version must be 0 to 9999");
        } else if (arg == "--bootware") {
            bootware = true;
        } else if (arg == "--no-esp32") {
            noEsp32 = true;
        } else if (arg == "--esp32-indicator") {
            if (!number(0, 255, &esp32Indicator)) return Usage("--esp32-indicator must be 0 to 255");
        } else if (arg == "--locked") {
            locked = true;
        } else if (arg == "--restart-delay") {
            long v = 0;
            if (!number(0, 600000, &v)) return Usage("--restart-delay must be 0 to 600000 ms");
            config.restartDelayMs = static_cast<uint32_t>(v);
        } else if (arg == "--install-polls") {
            if (!number(0, 100000, &installPolls)) return Usage("--install-polls must be 0 to 100000");
        } else if (arg == "--install-error") {
            if (!number(1, 65535, &installError)) return Usage("--install-error must be 1 to 65535");
        } else if (arg == "--install-fatal-error") {
            if (!number(1, 65535, &installFatal)) return Usage("--install-fatal-error must be 1 to 65535");
        } else if (arg == "--late-ms") {
            long v = 0;
            if (!number(0, 600000, &v)) return Usage("--late-ms must be 0 to 600000");
            config.lateReplyMs = static_cast<uint32_t>(v);
        } else if (arg == "--fault") {
            const char* v = value();
            auto f = v ? quillon_sim::FaultFromName(v) : std::nullopt;
            if (!f) return Usage(std::string("unknown fault '") + (v ? v : "") + "'");
            faults.insert(*f);
        } else if (arg == "--fault-on") {
            const char* v = value();
            long code = 0;
            if (v && std::strlen(v) == 1)
                faultOn = static_cast<uint8_t>(v[0]);
            else if (v && ParseNumber(v, 0, 255, &code))
                faultOn = static_cast<uint8_t>(code);
            else
                return Usage("--fault-on needs one character or a number 0 to 255");
        } else if (arg == "--fault-frames") {
            if (!number(0, 1000000, &faultFrames)) return Usage("--fault-frames must be 0 to 1000000");
        } else if (arg == "--fault-skip") {
            if (!number(0, 1000000, &faultSkip)) return Usage("--fault-skip must be 0 to 1000000");
        } else if (arg == "--flap") {
            if (!number(1, 600000, &flapMs)) return Usage("--flap must be 1 to 600000 ms");
        } else if (arg == "--flap-from") {
            const char* v = value();
            flapFrom = v ? v : "";
            if (flapFrom != "start" && flapFrom != "bootware" && flapFrom != "commit")
                return Usage("--flap-from must be start, bootware or commit");
        } else if (arg == "--state-out") {
            const char* v = value();
            if (!v || !*v) return Usage("--state-out needs a file");
            stateOut = v;
        } else if (arg == "--throttle") {
            config.throttle = true;
        } else if (arg == "--stats") {
            const char* v = value();
            if (!v || !*v) return Usage("--stats needs a file");
            statsOut = v;
        } else if (arg == "--flash-out") {
            const char* v = value();
            if (!v || !*v) return Usage("--flash-out needs a file");
            flashOut = v;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return Usage("unknown option '" + std::string(arg) + "'");
        }
    }
    if (config.linkPath.empty()) return Usage("--link PATH is required");

    quillon_sim::DeviceState& d = config.device;
    d = quillon_sim::MakeDevice(static_cast<uint16_t>(model));
    d.serial = serial;
    d.otherSerial = otherSerial;
    d.version = static_cast<uint16_t>(version);
    d.pendingVersion = d.version;
    d.variant = static_cast<uint16_t>(variant);
    d.pendingVariant = d.variant;
    d.bootwareVersion = static_cast<uint16_t>(bootwareVersion);
    d.runsApplication = !bootware;
    if (noEsp32) quillon_sim::SetEsp32Present(d, false);
    if (esp32Indicator >= 0) {
        quillon_sim::SetEsp32Present(d, esp32Indicator <= 198);
        d.sensors[13] = static_cast<uint8_t>(esp32Indicator);
    }
    if (locked) d.status.stats |= 0xC000;
    d.installBusyReads = static_cast<uint32_t>(installPolls);
    d.installError = static_cast<uint16_t>(installError);
    d.installFatalError = static_cast<uint16_t>(installFatal);
    d.faults = faults;
    d.faultCommand = faultOn;
    d.faultFrames = static_cast<uint32_t>(faultFrames);
    d.faultSkip = static_cast<uint32_t>(faultSkip);
    d.flapMs = static_cast<uint32_t>(flapMs);
    d.flapping = flapMs > 0 && flapFrom == "start";
    if (flapMs > 0 && flapFrom == "bootware") d.flapFromKind = 0;
    if (flapMs > 0 && flapFrom == "commit") d.flapFromKind = 1;

    if (!quiet) {
        config.logSink = [](const std::string& line) {
            const platform::LocalTime t = platform::GetClock().LocalNow();
            std::fprintf(stderr, "%02d:%02d:%02d.%03d %s\n", t.hour, t.minute, t.second, t.millisecond,
                         line.c_str());
        };
    }

    quillon_sim::BlockStopSignals();
    quillon_sim::NewerDeviceEmulator emulator(std::move(config));
    std::string error;
    if (!emulator.Start(&error)) {
        std::fprintf(stderr, "quillon-devsim: cannot publish %s: %s\n", emulator.Path().c_str(), error.c_str());
        return 1;
    }
    std::printf("%s\n", emulator.Path().c_str());
    std::fflush(stdout);
    quillon_sim::WaitForStopSignal();
    emulator.Stop();
    if (!statsOut.empty()) {
        const auto link = emulator.Link();
        FILE* f = std::fopen(statsOut.c_str(), "w");
        if (!f || std::fprintf(f, "frames %llu\nbytes-in %llu\nbytes-out %llu\n",
                               static_cast<unsigned long long>(link.frames), static_cast<unsigned long long>(link.bytesIn),
                               static_cast<unsigned long long>(link.bytesOut)) < 0 || std::fclose(f) != 0) {
            std::fprintf(stderr, "quillon-devsim: cannot write %s\n", statsOut.c_str());
            return 1;
        }
    }
    if (!stateOut.empty() && !WriteState(stateOut, emulator)) {
        std::fprintf(stderr, "quillon-devsim: cannot write %s\n", stateOut.c_str());
        return 1;
    }
    if (!flashOut.empty()) {
        const quillon_sim::DeviceState state = emulator.State();
        const uint32_t pages = state.flashPages.empty() ? 0 : state.flashPages.rbegin()->first + 1;
        const std::vector<uint8_t> flash = state.ReadFlash(quillon_sim::kFlashBase, pages * quillon_sim::kFlashPageSize);
        FILE* f = std::fopen(flashOut.c_str(), "wb");
        if (!f || std::fwrite(flash.data(), 1, flash.size(), f) != flash.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "quillon-devsim: cannot write %s\n", flashOut.c_str());
            return 1;
        }
    }
    return 0;
}
