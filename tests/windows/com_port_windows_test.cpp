// The COM port layer of the Windows build under Wine. The registry lookup reads keys the tests
// write under HKEY_LOCAL_MACHINE (with product ids no device has); the port tests use COM41 and
// COM42, which the test fixture joins like a null-modem cable (com_pair.sh: two pseudo-terminals
// of socat behind the prefix's dosdevices links).
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "transport/com_port.h"

namespace {

using namespace velmora;

constexpr const char* kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";

// Device keys of vendor 2E4C written for a test and removed afterwards.
class RegistryPorts : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& key : made_) RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        platform::UnsetEnv(kComPortsVariable);
    }
    static std::string DeviceKey(uint16_t pid) {
        char name[64];
        std::snprintf(name, sizeof name, "VID_2E4C&PID_%04x", pid);
        return std::string(kEnumUsb) + name;
    }
    // An instance; portName "" leaves the value out, parameters false the whole subkey.
    void Instance(uint16_t pid, const std::string& instance, const std::string& portName, bool parameters = true) {
        const std::string device = DeviceKey(pid);
        if (made_.empty() || made_.back() != device) made_.push_back(device);
        const std::string key = device + "\\" + instance + (parameters ? "\\Device Parameters" : "");
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        if (!portName.empty())
            RegSetValueExA(h, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                           static_cast<DWORD>(portName.size() + 1));
        RegCloseKey(h);
    }
    std::vector<std::string> Paths(uint16_t pid, int capacity = 100, int* result = nullptr) {
        std::vector<int> ports(static_cast<size_t>(capacity), 0);
        const int n = FindComPorts(pid, ports.data(), capacity);
        if (result) *result = n;
        std::vector<std::string> paths;
        for (int i = 0; i < n; ++i) paths.push_back(ComPortPath(static_cast<uint8_t>(ports[static_cast<size_t>(i)])));
        return paths;
    }

    std::vector<std::string> made_;
};

TEST_F(RegistryPorts, InstancesWithAPortNameGiveTheirPortsInEnumerationOrder) {
    Instance(0x0b01, "5&1A&0&1", "COM7");
    Instance(0x0b01, "5&1A&0&2", "COM12");
    Instance(0x0b01, "5&1A&0&3", "");            // no PortName value
    Instance(0x0b01, "5&1A&0&4", "COM9", false);  // no Device Parameters key
    Instance(0x0b01, "5&1A&0&5", "LPTX");         // no digits: 0, left out
    int n = 0;
    EXPECT_EQ(Paths(0x0b01, 100, &n), (std::vector<std::string>{"\\\\.\\COM7", "\\\\.\\COM12"}));
    EXPECT_EQ(n, 2);
}

TEST_F(RegistryPorts, DeviceKeyMissingOrWithoutInstancesIsMinusOne) {
    int ports[4];
    EXPECT_EQ(FindComPorts(0x0b02, ports, 4), -1);
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, DeviceKey(0x0b02).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
    made_.push_back(DeviceKey(0x0b02));
    EXPECT_EQ(FindComPorts(0x0b02, ports, 4), -1);
}

TEST_F(RegistryPorts, PortAbove255KeepsItsNumberAndCapacityCountsInstances) {
    Instance(0x0b03, "A", "COM300");
    Instance(0x0b03, "B", "COM5");
    // COM300 is opened as COM300, never as COM44 (300 modulo 256).
    EXPECT_EQ(Paths(0x0b03), (std::vector<std::string>{"\\\\.\\COM300", "\\\\.\\COM5"}));
    EXPECT_EQ(Paths(0x0b03, 1), (std::vector<std::string>{"\\\\.\\COM300"}));
}

TEST_F(RegistryPorts, PortListVariableReplacesTheRegistry) {
    Instance(0x0b04, "A", "COM7");
    ASSERT_TRUE(platform::SetEnv(kComPortsVariable, "0B04=COM41;0b04=COM49;0B05=COM42"));
    // COM49 does not exist: that device is unplugged.
    EXPECT_EQ(Paths(0x0b04), (std::vector<std::string>{"COM41"}));
}

// ---------------------------------------------------------------------------------------
// Ports

class ComPair : public ::testing::Test {
protected:
    void SetUp() override {
        a = OpenCOM(static_cast<uint8_t>(ComPortNumber("\\\\.\\COM41")));
        ASSERT_NE(a, kInvalidComHandle) << "COM41 of the test fixture: " << LastComOpenError();
        b = OpenCOM(static_cast<uint8_t>(ComPortNumber("COM42")));
        ASSERT_NE(b, kInvalidComHandle) << "COM42 of the test fixture: " << LastComOpenError();
    }
    void TearDown() override {
        SetComPieceObserver(nullptr);
        CloseCOM(a);
        CloseCOM(b);
    }
    ComHandle a = kInvalidComHandle;
    ComHandle b = kInvalidComHandle;
};

// Windows itself keeps a COM port to one handle; Wine does not, so a second open is not tried
// here (the Linux tests check the exclusive open of that build).
TEST_F(ComPair, OpenPortHasTheGivenTimeouts) {
    const uint8_t number = static_cast<uint8_t>(ComPortNumber("\\\\.\\COM41"));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(a), &t));
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 10000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10000u);
    CloseCOM(a);
    a = OpenCOM(number);
    EXPECT_NE(a, kInvalidComHandle);
    EXPECT_EQ(LastComOpenError(), 0);
}

TEST_F(ComPair, UnknownPortNumberAndMissingPortDoNotOpen) {
    EXPECT_EQ(OpenCOM(0), kInvalidComHandle);
    EXPECT_EQ(LastComOpenError(), ENOENT);
    EXPECT_EQ(OpenCOM(static_cast<uint8_t>(ComPortNumber("\\\\.\\COM49"))), kInvalidComHandle);
    EXPECT_EQ(LastComOpenError(), ENOENT);
}

TEST_F(ComPair, LargeWriteGoesInPiecesAndArrivesWhole) {
    std::mutex m;
    std::vector<std::pair<ComPiece::Kind, uint32_t>> writes;
    SetComPieceObserver([&](const ComPiece& p) {
        std::lock_guard<std::mutex> lock(m);
        if (p.kind == ComPiece::Kind::Write) writes.emplace_back(p.kind, p.asked);
    });
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    std::vector<uint8_t> received(data.size());
    int readResult = -1;
    std::thread reader([&] { readResult = ReadCOM(b, received.data(), static_cast<uint32_t>(received.size())); });
    EXPECT_EQ(WriteCOM(a, data.data(), static_cast<uint32_t>(data.size())), 1);
    reader.join();
    EXPECT_EQ(readResult, 1);
    EXPECT_EQ(received, data);
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].second, 65536u);
    EXPECT_EQ(writes[1].second, 4464u);
}

TEST_F(ComPair, ReplyInTwoPartsWithinTheTimeoutIsOneCompleteRead) {
    std::thread writer([&] {
        const std::vector<uint8_t> first(30, 0x11), second(10, 0x22);
        WriteCOM(b, first.data(), 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        WriteCOM(b, second.data(), 10);
    });
    std::vector<uint8_t> reply(40);
    EXPECT_EQ(ReadCOM(a, reply.data(), 40), 1);
    writer.join();
    EXPECT_EQ(reply[29], 0x11);
    EXPECT_EQ(reply[30], 0x22);
}

// The one test that waits for a real time-out: 8 + 10,000 ms.
TEST_F(ComPair, ReadThatGetsNothingEndsAtTheTotalTimeout) {
    uint8_t reply[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadCOM(a, reply, sizeof reply), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 9500);
    EXPECT_LT(ms.count(), 30000);  // generous for a busy machine: the point is that it ends
}

}  // namespace
