// The library end to end against the device emulator over a real pseudo-terminal, reached
// through the port list exactly as a real device is.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <thread>

#include "devlib/access_code.h"
#include "devlib/velmora.h"
#include "sim/newer_emulator.h"
#include "tests/support/library_fixture.h"

using namespace velmora;
using quillon_sim::EmulatorConfig;
using quillon_sim::NewerDeviceEmulator;

namespace {

class LibraryAgainstEmulator : public testsupport::LibraryWithLog {
protected:
    void TearDown() override {
        LibraryWithLog::TearDown();
        if (emulator) emulator->Stop();
    }
    void StartDevice(uint16_t model = 1160, const std::function<void(quillon_sim::DeviceState&)>& setup = {}) {
        EmulatorConfig config;
        config.linkPath = dir / "port0";
        config.device = quillon_sim::MakeDevice(model);
        config.device.serial = "N11501";
        config.device.version = 340;
        config.restartDelayMs = 300;
        if (setup) setup(config.device);
        emulator = std::make_unique<NewerDeviceEmulator>(config);
        std::string error;
        ASSERT_TRUE(emulator->Start(&error)) << error;
        const std::string list = std::string(model == 660 ? "0A1E=" : "0A1F=") + emulator->Path();
        setenv("VELMORA_COM_PORTS", list.c_str(), 1);
    }
    // Every line matches its pattern, in order.
    void ExpectLines(const std::vector<std::string>& patterns) {
        std::vector<std::string> lines = NewLines();
        ASSERT_EQ(lines.size(), patterns.size()) << [&] {
            std::string all;
            for (auto& l : lines) all += l + "\n";
            return all;
        }();
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i] << "\n  vs " << patterns[i];
    }

    std::unique_ptr<NewerDeviceEmulator> emulator;
};

TEST_F(LibraryAgainstEmulator, ReadsEveryRecordWritesFilesAndUpdateData) {
    StartDevice(1160, [](quillon_sim::DeviceState& d) {
        d.status.error = 7;
        d.statistics.printCounter = 123456;
        d.statistics.errors = {12, 7};
        d.storedImages = {{"LOGO.BMP", 1, 0, 0}, {"DATE.TXT", 2, 0, 0}};
    });
    const int id = OpenV2(1, "1160", nullptr);
    ASSERT_EQ(id, 0);
    ExpectLines({R"(CUSBCommunication::Open / Error 07)",
                 R"(CUSBCommunication::Open / numAvailableComPorts \(660\) -1)",
                 R"(CUSBCommunication::Open / numAvailableComPorts \(1160\) 1)",
                 R"(CUSBCommunication::Open / numAvailableComPorts \(660\+1160\) 1)",
                 R"(CSerialComPortOperations / OpenCOM: 128000)", R"(CUSBCommunication::OpenCOM NEW 128000________1)",
                 R"(OpenV2 / kindOfCommunicationChannel 1 / model_serialNumber 1160 / bluetoothDeviceAddress \(null\) / )"
                 R"(returnValue 1 / deviceID 0 / device\[0\] 0x[0-9a-f]{8} / exErrorValue 16007)"});

    DeviceInfo info{};
    ASSERT_EQ(GetDeviceInfo(id, &info), 1);
    EXPECT_EQ(info.model, 1160);
    EXPECT_EQ(info.version, 340);
    EXPECT_EQ(std::string(info.serial, 6), "N11501");
    DeviceStatus status{};
    ASSERT_EQ(GetDeviceStatus(id, &status), 1);
    EXPECT_EQ(status.error, 7);
    EXPECT_EQ(status.Busy, 0);
    SFModuleStatus ms{};
    ASSERT_EQ(GetSFModuleStatus(id, &ms), 1);
    EXPECT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
    ASSERT_EQ(GetSFModuleStatus(id, &ms), 1);
    EXPECT_EQ(ms.active, 1);
    SFDeviceSensors sensors{};
    ASSERT_EQ(GetSFDeviceSensors(id, &sensors), 1);
    EXPECT_LE(sensors.esp32Indicator, 198);
    SFDeviceTestfunction tf{};
    EXPECT_EQ(GetSFDeviceTestfunction(id, &tf), 1);
    static SFDeviceStatisticV2 stat;
    ASSERT_EQ(GetSFDeviceStatisticV2(id, &stat), 1);
    EXPECT_EQ(+stat.printCounter, 123456u);
    EXPECT_EQ(stat.errors[0], 12);
    EXPECT_EQ(stat.errors[1], 7);
    EXPECT_EQ(stat.errors[2], 0xFF);
    SFPrintHeadData ph{};
    EXPECT_EQ(GetSFPrintHeadData(id, &ph), 1);
    DeviceParameter p{};
    EXPECT_EQ(GetDeviceParameter(id, &p), 1);
    FileSystemInfo f{};
    ASSERT_EQ(GetFileSystemInfo(id, 0, &f), 1);
    EXPECT_STREQ(f.fileName, "LOGO.BMP");
    ASSERT_EQ(GetFileSystemInfo(id, 2, &f), 1);
    EXPECT_STREQ(f.fileName, "");
    ExpectLines({R"(GetDeviceInfo   / returnValue 1 / deviceID 0 / model 1160-000 / serialNr N11501 / FWVersion 3\.40)",
                 R"(CDeviceCommunication::GetDeviceStatus / returnValue: 1)",
                 R"(GetDeviceStatus / returnValue 1 / deviceID 0 / stats \d\d / warning \d\d / corError \d\d / error 007 / )"
                 R"(akku \d+ / phLevel \d+ / Print counter \d+ / user Priner Counter \d+ / Busy 0)",
                 R"(GetSFModuleStatus / returnValue 1 / deviceID 0 / format \d+ / SF-Modul active state 0 / .*)",
                 R"(ActivateSFModuleMode)",
                 R"(ActivateSFModuleMode / returnValue 1 / deviceID 0 / activate 1 / highVoltage 0)",
                 R"(GetSFModuleStatus / returnValue 1 / deviceID 0 / format \d+ / SF-Modul active state 1 / transferNOKOK \d+ / )"
                 R"(kindOfUpdate \d+ / transferStatus 0 / stateOfTestfunctionAndActuators 0 / testfunctionLoopCounter 0 / )"
                 R"(testfunctionBattery 0 / testfunctionPHTemperature 0 / BWVersion 0\.00 / BWSopro 0)",
                 R"(GetSFDeviceSensors / returnValue 1 / deviceID 0)",
                 R"(GetSFDeviceTestfunction / returnValue 1 / deviceID 0)",
                 R"(GetSFDeviceStatisticV2 / returnValue 1 / deviceID 0)",
                 R"(GetSFPrintHeadData / returnValue 1 / deviceID 0)",
                 R"(GetDeviceParameter / returnValue 1 / deviceID 0 / printSeq \d+ / printDir 0x[0-9a-f]{4} / effects 0x[0-9a-f]{4} / )"
                 R"(encoder 0x[0-9a-f]{4} / forrun 00000,00000,00000,00000 / printDelay 0000,0000,0000,0000 / path 00000 / )"
                 R"(speed \d{3} / signals 0x[0-9a-f]{4} / function 0 / Font1 .* \d+ 0x[0-9a-f]{2} / Font2  0 0x00 / filename )",
                 R"(GetFileSystemInfo / returnValue 1 / deviceID 0 / fileSystemFileIndex 0 / fileName LOGO\.BMP)",
                 R"(GetFileSystemInfo / returnValue 1 / deviceID 0 / fileSystemFileIndex 2 / fileName )"});

    // A file on the SD card in two pieces, the second one as large as a frame can carry.
    std::vector<uint8_t> content(65531 + 100);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(CreateFileOnSDCard(id, 9, "test1.bin"), 1);
    ASSERT_EQ(AppendFileData(id, 65531, content.data()), 1);
    ASSERT_EQ(AppendFileData(id, 100, content.data() + 65531), 1);
    ASSERT_EQ(CloseFile(id), 1);
    auto files = emulator->SdFiles();
    ASSERT_EQ(files.count("test1.bin"), 1u);
    EXPECT_TRUE(files["test1.bin"].closed);
    EXPECT_EQ(files["test1.bin"].data, content);

    EXPECT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 0, 0), 1);
    EXPECT_EQ(Close(id), 1);
}

TEST_F(LibraryAgainstEmulator, EnterBootwareAndComeBack) {
    StartDevice();
    int id = OpenV2(1, "1160", nullptr);
    ASSERT_EQ(id, 0);
    ASSERT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
    const uint32_t before = emulator->Publications();
    ASSERT_EQ(SetSFDeviceUpdateData(id, nullptr, MakeUpdateDataHeader(kUpdateEnterBootware, 350, 0, 0, 0)), 1);
    ASSERT_TRUE(emulator->WaitOffline(5000));
    // The open port sees the hang-up at once: a query fails instead of waiting out its time-out.
    const auto start = std::chrono::steady_clock::now();
    DeviceStatus status{};
    EXPECT_EQ(GetDeviceStatus(id, &status), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // the time-out is 10 s
    Close(id);
    ASSERT_TRUE(emulator->WaitOnline(before + 1, 5000));
    id = OpenV2(1, "1160", nullptr);
    ASSERT_EQ(id, 0);
    DeviceInfo info{};
    GetDeviceInfo(id, &info);
    EXPECT_EQ(info.runsApplication, 0);
    std::vector<std::string> lines = NewLines();
    EXPECT_NE(lines.back().find("/ BWVersion "), std::string::npos) << lines.back();

    // The boot loader takes data blocks into flash; they read back page by page.
    ASSERT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
    // A data block written into flash and read back page by page.
    std::vector<uint8_t> block(2 * 4096 + 100);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 5);
    const uint32_t address = 0x404010;
    ASSERT_EQ(SetSFDeviceUpdateData(id, block.data(),
                                    MakeUpdateDataHeader(kUpdateDataBlock, 350, 0, address,
                                                         static_cast<uint32_t>(block.size()))),
              1);
    EXPECT_EQ(emulator->ReadFlash(address, block.size()), block);
    std::vector<uint8_t> pages(3 * 4096);
    for (int page = 0; page < 3; ++page)
        ASSERT_EQ(GetSFDeviceUpdateData(id, (address - 0x400000) / 4096 + page, pages.data() + 4096 * page), 1);
    EXPECT_EQ(std::vector<uint8_t>(pages.begin() + 16, pages.begin() + 16 + static_cast<long>(block.size())), block);

}

TEST_F(LibraryAgainstEmulator, OpenRequestsThatFindNoDevice) {
    StartDevice();
    struct Case {
        const char* request;
        int exError;
        const char* line;
    } cases[] = {{"-N11501", 16002, "CUSBCommunication::Open / Error 09"},
                 {"1160-N99999", 16003, "CUSBCommunication::Open / Error 10"},
                 {"660", 16001, "CUSBCommunication::Open / Error 08"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(OpenV2(1, c.request, nullptr), -1);
        EXPECT_EQ(LastOpenErrorValue(), c.exError);
        std::vector<std::string> lines = NewLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.line);
    }
    EXPECT_EQ(OpenV2(1, "1160-N11501", nullptr), 0);  // the rejected searches let the port go
    Close(0);

    setenv("VELMORA_COM_PORTS", ("0A1F=" + dir / "nothing").c_str(), 1);
    EXPECT_EQ(OpenV2(1, "1160", nullptr), -1);
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(lines[lines.size() - 2], "CUSBCommunication::Open / Error 13");
    EXPECT_EQ(DescribeLastOpenFailure(), "no Norvik device is connected");
}

TEST_F(LibraryAgainstEmulator, DiagnosticCommandReadsEveryRecordFromTheRunner) {
    // quillon-devsim in its own process, velmora-diag in another: as support staff use them.
    const std::string link = dir / "devsim-port";
    const std::string out = dir / "devsim.out";
    const std::string cmd = std::string(QUILLON_DEVSIM_PATH) + " --link " + link + " --serial D00042 > " + out + " 2>&1 & echo $!";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    int pid = 0;
    ASSERT_EQ(fscanf(p, "%d", &pid), 1);
    pclose(p);
    for (int i = 0; i < 100 && testsupport::ReadFile(out).find(link) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string diag = std::string(QUILLON_DIAG_PATH) + " --port " + link + " --service 2>&1";
    p = popen(diag.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) text += buf;
    const int rc = pclose(p);
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && std::filesystem::is_symlink(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(WEXITSTATUS(rc), 0) << text;
    for (const char* field : {"model                        1160-", "serial                       D00042",
                              "status busy", "service module active", "sensors ESP32 indicator",
                              "statistics print counter", "print head cartridge", "parameter font 1",
                              "test function state"})
        EXPECT_NE(text.find(field), std::string::npos) << field << "\n" << text;
    EXPECT_EQ(text.find("failed"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::is_symlink(link));  // the runner removed its link

    // Without a device the command says why and fails.
    p = popen((std::string(QUILLON_DIAG_PATH) + " --port " + link + " 2>&1").c_str(), "r");
    text.clear();
    while (fgets(buf, sizeof buf, p)) text += buf;
    EXPECT_NE(WEXITSTATUS(pclose(p)), 0);
    EXPECT_NE(text.find("no Norvik device is connected"), std::string::npos) << text;
}

}  // namespace
