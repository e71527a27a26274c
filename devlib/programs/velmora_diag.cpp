// velmora-diag: reads everything the library can read from one device, for support staff.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "devlib/access_code.h"
#include "devlib/velmora.h"
#include "platform/system_info.h"
#include "platform/terminal_text.h"

using namespace velmora;

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: velmora-diag [--device MODEL | --device MODEL-SERIAL] [--port PATH] [--service]\n"
                 "       velmora-diag --help | --version\n"
                 "Opens one Norvik device and prints its identity, status, service-module status, sensors,\n"
                 "statistics, print-head data, parameters and stored print images.\n"
                 "  --device TEXT  which device: a model (default 1160) or model-serial (1160-A1B2C3); the\n"
                 "                 Norvik 1150's sold name 1150 stands for its model code 1160\n"
                 "  --port PATH    the device's serial port, when it does not show up by its USB ids\n"
                 "  --service      switch the service mode on, read the test function, switch it off\n"
                 "  --version      the program's version\n"
                 "Exit status 0 when the device answered.\n");
}

// A text of the device or the system, safe for the terminal; a field ends at its first zero.
std::string Text(std::string_view text) { return platform::TerminalField(text); }
std::string Text(const char* field, size_t size) { return Text(std::string_view(field, strnlen(field, size))); }

void Result(const char* what, int rc) {
    if (rc != 1) std::printf("%-28s failed (%d)\n", what, rc);
}

}  // namespace

int main(int argc, char** argv) {
    std::string device = "1160";
    bool service = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("velmora-diag (Quillon %s), library Velmora %s\n", QUILLON_PROGRAM_VERSION, QUILLON_VERSION_TEXT);
            return 0;
        } else if (a == "--device" && i + 1 < argc) {
            device = argv[++i];
            // The Norvik 1150 is sold under that name; the device reports the model code 1160.
            if (device == "1150" || device.rfind("1150-", 0) == 0) device.replace(0, 4, "1160");
        } else if (a == "--port" && i + 1 < argc) {
            const std::string ports = std::string("0A1E=") + argv[i + 1] + ";0A1F=" + argv[i + 1];
            ++i;
            platform::SetEnv("VELMORA_COM_PORTS", ports);
        } else if (a == "--service") {
            service = true;
        } else {
            std::fprintf(stderr, "velmora-diag: unknown argument '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    InitLibrary();
    const int id = OpenV2(1, device.c_str(), nullptr);
    if (id < 0) {
        std::fprintf(stderr, "velmora-diag: no device %s could be opened (%s).\n", Text(device).c_str(),
                     Text(DescribeLastOpenFailure()).c_str());
        return 1;
    }

    DeviceInfo info{};
    GetDeviceInfo(id, &info);
    std::printf("%-28s %u-%03u\n", "model", info.model, info.variant);
    std::printf("%-28s %s\n", "serial", Text(info.serial, sizeof info.serial).c_str());
    std::printf("%-28s %.2f (%s)\n", "firmware", info.version / 100.0,
                info.runsApplication == 1 ? "application" : "boot loader");

    int answered = 0;
    DeviceStatus st{};
    int rc = GetDeviceStatus(id, &st);
    Result("status", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s 0x%04x (security %s, %s)\n", "status stats", st.stats, st.stats & 0x8000 ? "on" : "off",
                    st.stats & 0x4000 ? "locked" : "unlocked");
        std::printf("%-28s %u\n", "status error", st.error);
        std::printf("%-28s %u\n", "status warning", st.warning);
        std::printf("%-28s %u\n", "status corError", st.corError);
        std::printf("%-28s %u\n", "status battery", st.akku);
        std::printf("%-28s %u\n", "status cartridge level", st.phLevel);
        std::printf("%-28s %u\n", "status print counter", st.printCounter);
        std::printf("%-28s %u\n", "status user print counter", st.userPrinerCounter);
        std::printf("%-28s %s\n", "status busy", st.Busy ? "yes" : "no");
    }

    SFModuleStatus ms{};
    rc = GetSFModuleStatus(id, &ms);
    Result("service module", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s %s\n", "service module active", ms.active == 1 ? "yes" : "no");
        std::printf("%-28s %u\n", "service module format", ms.format);
        std::printf("%-28s %u\n", "service module kindOfUpdate", ms.kindOfUpdate);
        std::printf("%-28s %.2f\n", "service module BWVersion", ms.BWVersion / 100.0);
    }

    SFDeviceSensors sensors{};
    rc = GetSFDeviceSensors(id, &sensors);
    Result("sensors", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s %u (%s)\n", "sensors ESP32 indicator", sensors.esp32Indicator,
                    sensors.esp32Indicator > 198 ? "no ESP32" : "ESP32 present");
    }

    static SFDeviceStatisticV2 stat;
    rc = GetSFDeviceStatisticV2(id, &stat);
    Result("statistics", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s %u\n", "statistics print counter", stat.printCounter);
        std::string errors;
        for (size_t i = 0; i < sizeof stat.errors && stat.errors[i] != 0xFF; ++i) errors += " " + std::to_string(stat.errors[i]);
        std::printf("%-28s%s\n", "statistics errors", errors.empty() ? " none" : errors.c_str());
        std::printf("%-28s 0x%02x\n", "statistics device options", stat.options[0]);
    }

    SFPrintHeadData ph{};
    rc = GetSFPrintHeadData(id, &ph);
    Result("print head", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s %u\n", "print head cartridge", ph.printCartridge);
    }

    DeviceParameter p{};
    rc = GetDeviceParameter(id, &p);
    Result("parameters", rc);
    if (rc == 1) {
        ++answered;
        std::printf("%-28s %u\n", "parameter printSeq", p.printSeq);
        std::printf("%-28s 0x%04x\n", "parameter printDir", p.printDir);
        std::printf("%-28s 0x%04x\n", "parameter effects", p.effects);
        std::printf("%-28s 0x%04x\n", "parameter signals", p.signals);
        std::printf("%-28s %u\n", "parameter encoder", p.encoder);
        std::printf("%-28s %u\n", "parameter speed", p.speed);
        std::printf("%-28s %u\n", "parameter spitting", p.spitting);
        std::printf("%-28s %s %u 0x%02x\n", "parameter font 1", Text(p.font1Name, sizeof p.font1Name).c_str(),
                    p.font1Size, p.font1Flags);
    }

    for (int index = 0; index < 255; ++index) {
        FileSystemInfo f{};
        rc = GetFileSystemInfo(id, index, &f);
        if (rc != 1) {
            if (index == 0) Result("stored print images", rc);
            break;
        }
        if (index == 0) ++answered;
        if (f.fileName[0] == '\0') break;
        std::printf("%-28s %s\n", ("stored print image " + std::to_string(index)).c_str(),
                    Text(f.fileName, sizeof f.fileName).c_str());
    }

    if (service) {
        rc = ActivateSFModuleMode(id, kServiceAccessCode, 1, 0);
        Result("service mode on", rc);
        SFDeviceTestfunction tf{};
        rc = GetSFDeviceTestfunction(id, &tf);
        Result("test function", rc);
        if (rc == 1) {
            ++answered;
            std::printf("%-28s %u\n", "test function state", tf.state);
        }
        rc = ActivateSFModuleMode(id, kServiceAccessCode, 0, 0);
        Result("service mode off", rc);
    }

    Close(id);
    if (answered == 0) {
        std::fprintf(stderr, "velmora-diag: the device was opened but answered no query.\n");
        return 1;
    }
    return 0;
}
