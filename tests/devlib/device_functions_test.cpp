// The public device and service-module functions: ids, pre-checks, results and log lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>

#include "devlib/access_code.h"
#include "devlib/md5.h"
#include "devlib/velmora.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "tests/devlib/test_channel.h"
#include "tests/support/library_fixture.h"

using namespace velmora;
using testsupport::TestChannel;

namespace {

// Library started with the log on in a temporary folder, channels from a factory.
class DeviceFunctions : public testsupport::LibraryWithLog {
protected:
    void SetUp() override {
        platform::SetClock(&clock);
        LibraryWithLog::SetUp();
        SetChannelFactoryForTest([this]() -> CDeviceCommunication* {
            auto* ch = new TestChannel(nextModel);
            ch->openResult = nextOpenResult;
            ch->openError = nextOpenError;
            made.push_back(ch);
            return ch;
        });
    }
    void TearDown() override {
        LibraryWithLog::TearDown();
        SetChannelFactoryForTest(nullptr);
        platform::SetClock(nullptr);
    }
    TestChannel* Channel(int id) { return static_cast<TestChannel*>(DeviceChannel(id)); }

    platform::VirtualClock clock;
    uint16_t nextModel = 1160;
    int nextOpenResult = 1;
    int nextOpenError = 16007;
    std::vector<TestChannel*> made;
};

TEST_F(DeviceFunctions, IdsAreHandedOutLowestFirstAndReused) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(OpenV2(1, "1160", nullptr), i);
    EXPECT_EQ(OpenV2(1, "1160", nullptr), -5);
    EXPECT_EQ(made.size(), 10u);  // no channel made for the eleventh
    EXPECT_EQ(Close(3), 1);
    EXPECT_EQ(OpenV2(1, "1160", nullptr), 3);
    std::vector<std::string> lines = NewLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("OpenV2 / kindOfCommunicationChannel 1 / model_serialNumber 1160 / "
                                                      "bluetoothDeviceAddress \\(null\\) / returnValue 1 / deviceID 0 / "
                                                      "device\\[0\\] 0x[0-9a-f]{8} / exErrorValue 16007")))
        << lines[0];
    EXPECT_EQ(lines.size(), 12u);  // ten opens, one close, one open; the refused open logs nothing
}

TEST_F(DeviceFunctions, FailedOpenLogsTheExtendedErrorAndKeepsTheEntryFree) {
    nextOpenResult = 0;
    nextOpenError = 16003;
    EXPECT_EQ(OpenV2(1, "1160-ABCDEF", nullptr), -1);
    EXPECT_EQ(LastOpenErrorValue(), 16003);
    for (int id = 0; id < kMaxDevices; ++id) EXPECT_EQ(DeviceChannel(id), nullptr);
    EXPECT_EQ(NewLines(), std::vector<std::string>{
                              "OpenV2 / kindOfCommunicationChannel 1 / model_serialNumber 1160-ABCDEF / "
                              "bluetoothDeviceAddress (null) / returnValue -1 / deviceID 0 / device[0] 0x00000000 / "
                              "exErrorValue 16003"});
}

TEST_F(DeviceFunctions, CloseOfAFreeIdAndFreeIdsForQueries) {
    EXPECT_EQ(Close(4), 1);
    EXPECT_EQ(Close(42), 1);
    DeviceStatus s;
    DeviceParameter p;
    FileSystemInfo f;
    SFDeviceSensors sensors;
    EXPECT_EQ(GetDeviceStatus(2, &s), -1);
    EXPECT_EQ(GetDeviceParameter(-1, &p), -1);
    EXPECT_EQ(GetFileSystemInfo(10, 0, &f), -1);
    EXPECT_EQ(GetSFDeviceSensors(11, &sensors), -1);
    EXPECT_EQ(NewLines(), (std::vector<std::string>{"Close / deviceID 4 / device 0x00000000",
                                                    "Close / deviceID 42 / device 0x00000000"}));
}

TEST_F(DeviceFunctions, DeviceInfoDescribesTheDeviceAsOpened) {
    const int id = OpenV2(1, "1160", nullptr);
    TestChannel* ch = Channel(id);
    ch->version = 205;
    ch->variant = 2;
    ch->runsApplication = 0;
    std::memcpy(ch->serial, "A1B2C3", 7);
    NewLines();
    DeviceInfo info{};
    EXPECT_EQ(GetDeviceInfo(id, &info), 1);
    EXPECT_EQ(+info.runsApplication, 0);
    EXPECT_EQ(+info.version, 205);
    EXPECT_EQ(std::string(info.serial, 6), "A1B2C3");
    EXPECT_TRUE(ch->sent.empty());
    EXPECT_EQ(NewLines(), std::vector<std::string>{
                              "GetDeviceInfo   / returnValue 1 / deviceID 0 / model 1160-002 / serialNr A1B2C3 / "
                              "BWVersion 2.05"});

    // A serial number with control characters starts no line of its own in the log.
    std::memcpy(ch->serial, "N\n\x1b[\x7f\r", 6);
    EXPECT_EQ(GetDeviceInfo(id, &info), 1);
    EXPECT_EQ(std::string(info.serial, 6), "N\n\x1b[\x7f\r");  // the caller gets it as it is
    EXPECT_EQ(NewLines(), std::vector<std::string>{
                              "GetDeviceInfo   / returnValue 1 / deviceID 0 / model 1160-002 / serialNr N  [   / "
                              "BWVersion 2.05"});
}

TEST_F(DeviceFunctions, StatusAndParameterLogLinesShowTheRecord) {
    const int id = OpenV2(1, "1160", nullptr);
    std::vector<uint8_t> r(30, 0);
    r[2] = 0x05;  // stats
    r[4] = 0x07;  // error
    r[9] = 80;    // akku
    Channel(id)->Payload(r);
    NewLines();
    DeviceStatus s{};
    EXPECT_EQ(GetDeviceStatus(id, &s), 1);
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{
                  "CDeviceCommunication::GetDeviceStatus / returnValue: 1",
                  "GetDeviceStatus / returnValue 1 / deviceID 0 / stats 05 / warning 00 / corError 00 / error 007 / "
                  "akku 80 / phLevel 0 / Print counter 0 / user Priner Counter 0 / Busy 0"}));

    // Odd-index control bytes and bytes from 0x80 in the names are shown as blanks, as are control
    // characters anywhere; the text ends at a zero.
    std::vector<uint8_t> p(64, 0);
    const char name[] = "A\x01" "rl\x90" "B\x1b" "x";
    std::memcpy(p.data() + 10, name, sizeof name - 1);
    Channel(id)->Payload(p);
    DeviceParameter dp{};
    EXPECT_EQ(GetDeviceParameter(id, &dp), 1);
    EXPECT_EQ(NewLines(), std::vector<std::string>{
                              "GetDeviceParameter / returnValue 1 / deviceID 0 / printSeq 0 / printDir 0x0000 / "
                              "effects 0x0000 / encoder 0x0000 / forrun 00000,00000,00000,00000 / printDelay "
                              "0000,0000,0000,0000 / path 00000 / speed 000 / signals 0x0000 / function 0 / Font1 "
                              "A rl\x90" "B x 0 0x00 / Font2  0 0x00 / filename "});
    EXPECT_EQ(SanitizedLogText("a\x01" "b\x02", 4), "a b ");
    EXPECT_EQ(SanitizedLogText("\x01" "\x00" "xy", 4), "  xy");
    EXPECT_EQ(SanitizedLogText("\nx\x7fy\r", 5), " x y ");
    EXPECT_EQ(SanitizedLogText("ab\x00" "cd", 5), "ab");
    EXPECT_EQ(SanitizedLogText("abcdef", 4), "abcd");
}

TEST_F(DeviceFunctions, FileFunctionsOnOtherModelsSendNothing) {
    nextModel = 660;
    const int id = OpenV2(1, nullptr, nullptr);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(CreateFileOnSDCard(id, 8, "boot.bin"), -12);
    EXPECT_EQ(AppendFileData(id, 3, data), -12);
    EXPECT_EQ(CloseFile(id), -12);
    EXPECT_TRUE(Channel(id)->sent.empty());
    NewLines();
    nextModel = 1160;
    const int id2 = OpenV2(1, nullptr, nullptr);
    Channel(id2)->Reply(1);
    EXPECT_EQ(CreateFileOnSDCard(id2, 8, "boot.binXYZ"), 1);
    EXPECT_EQ(Channel(id2)->sent[0].bytes.size(), 16u);
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(lines.back(), "CreateFileOnSDCard / returnValue 1 / deviceID 1 / sizeOfFileNmae 8 / fileName boot.bin");
}

TEST_F(DeviceFunctions, AccessGateAndServiceMode) {
    EXPECT_EQ(Md5::HexDigest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5::HexDigest(std::string(1000, 'a')), "cabe45dcc9ae5b66ba86600cca6b8ba8");
    EXPECT_EQ(Md5::HexDigest(kServiceAccessCode), kServiceAccessDigest);
    EXPECT_EQ(std::string(kServiceAccessCode).size(), 12u);

    SFDeviceTestfunction tf;
    const uint64_t before = clock.SleptMs();
    EXPECT_EQ(ActivateSFModuleMode(0, "wrong-code!!", 1, 0), -11);
    EXPECT_EQ(clock.SleptMs() - before, 100u);
    EXPECT_EQ(Table().serviceMode, 0);
    EXPECT_EQ(GetSFDeviceTestfunction(5, &tf), -11);  // the mode is checked before the id
    EXPECT_EQ(NewLines(), std::vector<std::string>{"ActivateSFModuleMode"});

    Table().serviceMode = 1;
    EXPECT_EQ(ActivateSFModuleMode(7, kServiceAccessCode, 0, 0), -1);
    EXPECT_EQ(Table().serviceMode, 0);

    const int id = OpenV2(1, "1160", nullptr);
    NewLines();
    Channel(id)->Reply(-3);  // the device did not take the frame: still reported as done
    EXPECT_EQ(ActivateSFModuleMode(id, kServiceAccessCode, 1, 0), 1);
    EXPECT_EQ(Table().serviceMode, 1);
    EXPECT_EQ(Channel(id)->sent[0].bytes,
              testsupport::Bytes({0x01, 0x00, 0x0E, 0x00, 0x05, 0x20, 0x69, 0x61, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Channel(id)->writeArgs[0], std::make_pair(0, -1));
    EXPECT_EQ(NewLines(), (std::vector<std::string>{
                              "ActivateSFModuleMode",
                              "ActivateSFModuleMode / returnValue -3 / deviceID 0 / activate 1 / highVoltage 0"}));
    uint8_t block[4096];
    EXPECT_EQ(GetSFDeviceUpdateData(9, 0, block), -1);
    Table().serviceMode = 0;
    EXPECT_EQ(GetSFDeviceUpdateData(id, 0, block), -11);
    EXPECT_EQ(SetSFDeviceUpdateData(id, block, MakeUpdateDataHeader(0, 350, 0, 0, 0)), -11);
    EXPECT_EQ(Channel(id)->sent.size(), 1u);
    EXPECT_TRUE(NewLines().empty());
}

TEST_F(DeviceFunctions, ModuleStatusLogLine) {
    const int id = OpenV2(1, "1160", nullptr);
    std::vector<uint8_t> r = testsupport::Bytes({0x01, 0x02, 0x03, 0x04});
    r.insert(r.end(), 12, 0);
    Channel(id)->Payload(r);
    NewLines();
    SFModuleStatus s{};
    EXPECT_EQ(GetSFModuleStatus(id, &s), 1);
    EXPECT_EQ(NewLines(), std::vector<std::string>{
                              "GetSFModuleStatus / returnValue 1 / deviceID 0 / format 2 / SF-Modul active state 1 / "
                              "transferNOKOK 3 / kindOfUpdate 4 / transferStatus 0 / stateOfTestfunctionAndActuators 0 "
                              "/ testfunctionLoopCounter 0 / testfunctionBattery 0 / testfunctionPHTemperature 0 / "
                              "BWVersion 0.00 / BWSopro 0"});
}

}  // namespace
