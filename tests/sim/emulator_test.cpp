// The emulated device driven from the host side with raw bytes over its real pseudo-terminal.
// Frames and expected answers are written out here byte by byte from the protocol's layouts,
// independently of the emulator's own code.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "host_side.h"
#include "platform/clock.h"
#include "sim/newer_emulator.h"

namespace {

using quillon_sim::DeviceState;
using quillon_sim::Fault;
using quillon_sim::NewerDeviceEmulator;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint32_t kRestartMs = 1500;

// 03 00, length = command bytes - 2 + reply length, then 05 3F c2 c3 and a 16-bit parameter.
Bytes Request(uint8_t c2, uint8_t c3, uint16_t param, uint16_t replyLen) {
    const uint16_t len = static_cast<uint16_t>(6 - 2 + replyLen);
    return {0x03, 0x00, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0x05, 0x3F, c2, c3,
            static_cast<uint8_t>(param), static_cast<uint8_t>(param >> 8)};
}

// 01 00, length = 4 command bytes + data, then 05 20 c2 c3 and the data.
Bytes DataFrame(uint8_t c2, uint8_t c3, const Bytes& data) {
    const size_t len = data.size() + 4;
    Bytes f{0x01, 0x00, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0x05, 0x20, c2, c3};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

void PutLe(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The update header as it travels in the frame: version, variant, kind, 0, 0, 0, address and
// length (all little-endian), then the data.
Bytes UpdateFrame(uint8_t kind, uint16_t version, uint16_t variant, uint32_t address, const Bytes& data) {
    Bytes d;
    PutLe(d, version, 2);
    PutLe(d, variant, 2);
    d.push_back(kind);
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    PutLe(d, address, 4);
    PutLe(d, static_cast<uint32_t>(data.size()), 4);
    d.insert(d.end(), data.begin(), data.end());
    return DataFrame(0x69, 0x75, d);
}

const Bytes kDeviceInfoFrame{0x01, 0x00, 0x00, 0x20, 0x1B, 0x64, 0x3F, 0x20,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20};

bool Acked(const Bytes& a, uint8_t c2, uint8_t c3) {
    return a.size() == 8 && a[0] == 0x02 && a[4] == 0x05 && a[5] == 0x21 && a[6] == c2 && a[7] == c3;
}
// A refusal: a complete 8-byte answer that the host does not take as acknowledgement.
bool Refused(const Bytes& a, uint8_t c2, uint8_t c3) {
    return a.size() == 8 && a[0] != 0x02 && a[6] == c2 && a[7] == c3;
}
// The reply header the host accepts: 04 at 0, 05 '?' at 4, the command letter at 7.
bool ReplyOk(const Bytes& r, uint8_t c3, size_t payload) {
    return r.size() == payload + 8 && r[0] == 0x04 && r[4] == 0x05 && r[5] == 0x3F && r[7] == c3;
}
uint16_t Le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
std::string Text(const Bytes& b, size_t at, size_t n) { return std::string(b.begin() + at, b.begin() + at + n); }
bool LinkExists(const std::string& p) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(p, ec));
}

class EmulatorTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    std::string dir = simtest::MakeTempDir();
    std::string link = dir + "/norvik/port0";
    std::unique_ptr<NewerDeviceEmulator> emu;
    simtest::HostPort host;

    void TearDown() override {
        Reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Ends this device, for tests that run several in turn.
    void Reset() {
        host.Close();
        if (emu) emu->Stop();
        emu.reset();
    }

    void Start(DeviceState device, bool throttle = false) {
        quillon_sim::EmulatorConfig config;
        config.linkPath = link;
        config.device = std::move(device);
        config.restartDelayMs = kRestartMs;
        config.throttle = throttle;
        emu = std::make_unique<NewerDeviceEmulator>(std::move(config));
        std::string error;
        ASSERT_TRUE(emu->Start(&error)) << error;
        ASSERT_TRUE(host.Open(link));
    }

    Bytes Ask(uint8_t c2, uint8_t c3, uint16_t replyLen, uint16_t param = 0) {
        return host.Exchange(Request(c2, c3, param, replyLen), replyLen + 8u);
    }
    Bytes Status() { return Ask(0x20, 0x53, 30); }
    Bytes Send(const Bytes& frame) { return host.Exchange(frame, 8); }
    void Activate(uint8_t on = 1) {
        Bytes data(10, 0);
        data[0] = on;
        ASSERT_TRUE(Acked(Send(DataFrame(0x69, 0x61, data)), 0x69, 0x61));
    }

    // The device restarts: the host sees a hang-up, the link is gone until the clock has moved
    // by the restart delay, then a new port appears under the same path.
    void ExpectRestart() {
        const uint32_t before = emu->Publications();
        ASSERT_TRUE(host.WaitHangUp(3000));
        ASSERT_TRUE(emu->WaitOffline(3000));
        EXPECT_FALSE(LinkExists(link));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_FALSE(emu->Online()) << "came back before the clock moved";
        clock.Advance(kRestartMs);
        ASSERT_TRUE(emu->WaitOnline(before + 1, 3000));
        ASSERT_TRUE(LinkExists(link));
        host.Close();
        ASSERT_TRUE(host.Open(link));
    }
};

// ---------------------------------------------------------------------------------------------
// Identity

struct IdentityCase {
    uint16_t model;
    const char* serial;
    uint16_t version;
    uint16_t bootwareVersion;
    uint16_t variant;
    bool application;
    const char* text;         // bytes 0..15 of the identity text
    uint8_t bcdHigh, bcdLow;  // reported version as BCD
};

TEST_F(EmulatorTest, IdentityFrameAndTextFollowTheLayouts) {
    const IdentityCase cases[] = {
        {1160, "B12345", 350, 110, 2, true, "1160-002-  ", 0x03, 0x50},
        {660, "C00042", 205, 118, 7, false, "660-007-BW", 0x01, 0x18},
    };
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(c.model);
        DeviceState d = quillon_sim::MakeDevice(c.model);
        d.serial = c.serial;
        d.version = c.version;
        d.bootwareVersion = c.bootwareVersion;
        d.variant = c.variant;
        d.runsApplication = c.application;
        Start(d);

        Bytes r = host.Exchange(kDeviceInfoFrame, 32);
        ASSERT_EQ(r.size(), 32u);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x1B, 0x64, 0x3F, 0x20}));
        const Bytes p(r.begin() + 4, r.end());  // 24 data bytes and their sum
        EXPECT_EQ(p[2] << 8 | p[3], c.model);
        EXPECT_EQ(p[4] << 8 | p[5], c.variant);
        EXPECT_EQ(Text(p, 6, 6), c.serial);
        EXPECT_EQ(p[12], c.bcdHigh);
        EXPECT_EQ(p[13], c.bcdLow);
        uint32_t sum = 0;
        for (int i = 0; i < 24; ++i) sum += p[i];
        EXPECT_EQ(static_cast<uint32_t>(p[24] << 24 | p[25] << 16 | p[26] << 8 | p[27]), sum);

        Bytes t = Ask(0x20, 0x69, 32);
        ASSERT_TRUE(ReplyOk(t, 0x69, 32));
        const Bytes text(t.begin() + 8, t.end());
        EXPECT_EQ(std::string(text.begin(), std::find(text.begin(), text.begin() + 16, 0)), c.text);
        EXPECT_EQ(Text(text, 16, 6), c.serial);
        EXPECT_EQ(text[22], c.bcdLow);  // little-endian: byte 23 holds the upper two digits
        EXPECT_EQ(text[23], c.bcdHigh);
        Reset();
    }
}

// ---------------------------------------------------------------------------------------------
// Records

TEST_F(EmulatorTest, RecordsSitWhereTheHostReadsThem) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.status.stats = 0xC001;
    d.status.error = 7;
    d.status.corError = 0x0102;
    d.status.warning = 0x0304;
    d.status.userPrintCounter = 0x0506;
    d.status.printCounter = 9;
    d.status.akku = 80;
    d.status.phLevel = 60;
    d.status.storedImages = 4;
    d.status.busy = true;
    d.statistics.printCounter = 0x01020304;
    d.statistics.errors = {11, 22, 33};
    d.statistics.deviceOptions = 0x5A;
    d.storedImages = {{"Label 1", 0x0201, 3, 4}};
    Start(d);

    Bytes s = Status();
    ASSERT_TRUE(ReplyOk(s, 0x53, 30));
    EXPECT_EQ(s[6], 0x20);
    const Bytes st(s.begin() + 8, s.end());
    EXPECT_EQ(st[0], 1);  // Busy
    EXPECT_EQ(Le16(st, 2), 0xC001);
    EXPECT_EQ(Le16(st, 4), 7);
    EXPECT_EQ(Le16(st, 6), 0x0506);
    EXPECT_EQ(st[8], 9);
    EXPECT_EQ(st[9], 80);
    EXPECT_EQ(st[10], 60);
    EXPECT_EQ(st[13], 4);
    EXPECT_EQ(Le16(st, 14), 0x0102);
    EXPECT_EQ(Le16(st, 18), 0x0304);

    Bytes sensors = Ask(0x69, 0x73, 22);
    ASSERT_TRUE(ReplyOk(sensors, 0x73, 22));
    EXPECT_LE(sensors[8 + 13], 198) << "ESP32 present";
    emu->Update([](DeviceState& s) { quillon_sim::SetEsp32Present(s, false); });
    EXPECT_GT(Ask(0x69, 0x73, 22)[8 + 13], 198) << "no ESP32";

    Bytes stat = Ask(0x69, 0x53, 998);
    ASSERT_TRUE(ReplyOk(stat, 0x53, 998));
    EXPECT_EQ(stat[6], 0x69);
    const Bytes v(stat.begin() + 8, stat.end());
    EXPECT_EQ(static_cast<uint32_t>(v[0] | v[1] << 8 | v[2] << 16 | v[3] << 24), 0x01020304u);
    EXPECT_EQ(Bytes(v.begin() + 4, v.begin() + 8), (Bytes{11, 22, 33, 0xFF}));
    EXPECT_EQ(v[4 + 950 + 2 + 2 + 32], 0x5A);  // first byte of the last field: device options

    Bytes fs0 = Ask(0x20, 0x44, 64, 0);
    ASSERT_TRUE(ReplyOk(fs0, 0x44, 64));
    EXPECT_EQ(Le16(fs0, 8), 0x0201);
    EXPECT_EQ(fs0[10], 3);
    EXPECT_EQ(fs0[11], 4);
    EXPECT_EQ(Text(fs0, 12, 8), std::string("Label 1\0", 8));
    Bytes fs1 = Ask(0x20, 0x44, 64, 1);
    ASSERT_TRUE(ReplyOk(fs1, 0x44, 64));
    EXPECT_EQ(fs1[12], 0) << "an empty name ends the list";

    EXPECT_TRUE(ReplyOk(Ask(0x69, 0x44, 26), 0x44, 26));  // print-head data on model 1160
    EXPECT_TRUE(ReplyOk(Ask(0x20, 0x70, 64), 0x70, 64));  // parameters

    // Service-module status: byte 0 is the active state; the test function needs the mode.
    EXPECT_EQ(Ask(0x69, 0x69, 16)[8], 0);
    Bytes tf = Ask(0x69, 0x54, 18);
    EXPECT_EQ(tf.size(), 26u);
    EXPECT_NE(tf[0], 0x04);
    Activate();
    EXPECT_EQ(Ask(0x69, 0x69, 16)[8], 1);
    EXPECT_TRUE(ReplyOk(Ask(0x69, 0x54, 18), 0x54, 18));

    // A request for another length than the record's is answered in full, but refused.
    Bytes wrong = Ask(0x20, 0x53, 40);
    EXPECT_EQ(wrong.size(), 48u);
    EXPECT_NE(wrong[0], 0x04);
    // Unknown request letters likewise.
    Bytes unknown = Ask(0x20, 0x7A, 12);
    EXPECT_EQ(unknown.size(), 20u);
    EXPECT_NE(unknown[0], 0x04);
}

TEST_F(EmulatorTest, ModelSixSixtyHasNoPrintHeadDataAndNoSdCard) {
    Start(quillon_sim::MakeDevice(660));
    Bytes r = Ask(0x69, 0x44, 26);
    ASSERT_EQ(r.size(), 34u);
    EXPECT_NE(r[0], 0x04);
    const Bytes name{'a', '.', 'b', 'i', 'n'};
    EXPECT_TRUE(Refused(Send(DataFrame(0x66, 0x6E, name)), 0x66, 0x6E));
    EXPECT_TRUE(Refused(Send(DataFrame(0x66, 0x63, {})), 0x66, 0x63));
    EXPECT_TRUE(emu->SdFiles().empty());
    // The update-mode frame exists on this model only.
    Bytes mode(12, 0);
    mode[1] = 3;
    EXPECT_TRUE(Acked(Send(DataFrame(0x69, 0x55, mode)), 0x69, 0x55));
    EXPECT_EQ(emu->State().updateMode, 3);
}

TEST_F(EmulatorTest, ShortRequestIsAnsweredWithAcknowledgeByte) {
    Start(quillon_sim::MakeDevice(1160));
    // 03 00, reply length, four command bytes ending in 'r'.
    Bytes r = host.Exchange(Bytes{0x03, 0x00, 0x0A, 0x00, 0x05, 0x3F, 0x20, 0x72}, 14);
    ASSERT_EQ(r.size(), 14u);
    EXPECT_EQ(r[0], 0x06);
    Bytes other = host.Exchange(Bytes{0x03, 0x00, 0x02, 0x00, 0x05, 0x3F, 0x69, 0x72}, 6);
    ASSERT_EQ(other.size(), 6u);
    EXPECT_NE(other[0], 0x06);
}

TEST_F(EmulatorTest, DataFramesAreAcknowledgedOrRefused) {
    Start(quillon_sim::MakeDevice(1160));
    // Update data needs the service mode; a block needs Bootware.
    EXPECT_TRUE(Refused(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    EXPECT_TRUE(emu->Online());
    Activate();
    EXPECT_TRUE(Refused(Send(UpdateFrame(2, 0, 0, 0x404000, Bytes(16, 1))), 0x69, 0x75));
    // Wrong sizes, unknown commands and kinds.
    EXPECT_TRUE(Refused(Send(DataFrame(0x69, 0x61, Bytes(9, 0))), 0x69, 0x61));
    EXPECT_TRUE(Refused(Send(DataFrame(0x69, 0x7A, Bytes(4, 0))), 0x69, 0x7A));
    EXPECT_TRUE(Refused(Send(UpdateFrame(9, 0, 0, 0, {})), 0x69, 0x75));
    Bytes shortLength = UpdateFrame(2, 0, 0, 0x404000, Bytes(8, 1));
    shortLength[8 + 12] = 9;  // the length field says 9, the frame carries 8
    EXPECT_TRUE(Refused(Send(shortLength), 0x69, 0x75));
    // 05 20 69 55 is model 660's.
    EXPECT_TRUE(Refused(Send(DataFrame(0x69, 0x55, Bytes(12, 0))), 0x69, 0x55));
    EXPECT_EQ(emu->State().restarts, 0u);
}

// ---------------------------------------------------------------------------------------------
// The update as the product runs it

TEST_F(EmulatorTest, UpdateEntersBootwareWritesReadsBackAndCommits) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.serial = "S00777";
    d.version = 300;
    Start(d);
    Activate();
    ASSERT_TRUE(Acked(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    ExpectRestart();

    Bytes text = Ask(0x20, 0x69, 32);
    EXPECT_EQ(Text(text, 8 + 9, 2), "BW");
    EXPECT_EQ(Ask(0x69, 0x69, 16)[8], 0) << "service mode ends with the restart";
    // Already in Bootware: the command is acknowledged and nothing restarts.
    Activate();
    ASSERT_TRUE(Acked(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    EXPECT_TRUE(ReplyOk(Status(), 0x53, 30));
    EXPECT_EQ(emu->Publications(), 2u);

    // A block of 5,000 bytes at 0x404100: page 4 from offset 256, then page 5.
    Bytes block(5000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_TRUE(Acked(Send(UpdateFrame(2, 350, 1, 0x404100, block)), 0x69, 0x75));
    Bytes pages;
    for (uint16_t page : {4, 5}) {
        Bytes r = Ask(0x69, 0x75, 4096, page);
        ASSERT_TRUE(ReplyOk(r, 0x75, 4096)) << page;
        pages.insert(pages.end(), r.begin() + 8, r.end());
    }
    EXPECT_TRUE(std::equal(block.begin(), block.end(), pages.begin() + 256));
    EXPECT_TRUE(std::all_of(pages.begin(), pages.begin() + 256, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(emu->ReadFlash(0x404100, block.size()), block);
    // A page past the flash and a block outside it are refused.
    EXPECT_NE(Ask(0x69, 0x75, 4096, 0x0100)[0], 0x04);
    EXPECT_TRUE(Refused(Send(UpdateFrame(2, 350, 1, 0x3FFF00, Bytes(16, 0))), 0x69, 0x75));

    ASSERT_TRUE(Acked(Send(UpdateFrame(1, 350, 1, 0x72000, {})), 0x69, 0x75));
    ExpectRestart();
    Bytes id = host.Exchange(kDeviceInfoFrame, 32);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id[4 + 12], 0x03);
    EXPECT_EQ(id[4 + 13], 0x50);
    EXPECT_EQ(id[4 + 5], 1);  // variant from the commit
    EXPECT_EQ(Text(id, 4 + 6, 6), "S00777");
    EXPECT_EQ(Text(Ask(0x20, 0x69, 32), 8 + 9, 2), "  ");
    EXPECT_EQ(emu->ReadFlash(0x404100, block.size()), block) << "flash survives the restart";
    EXPECT_EQ(emu->State().committedSpan, 0x72000u);
}

TEST_F(EmulatorTest, Esp32ImagesGoToTheSdCardAndInstall) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.installBusyReads = 2;
    Start(d);
    Activate();
    // Installing before the images are on the card ends with a device error of 20 or more.
    ASSERT_TRUE(Acked(Send(UpdateFrame(3, 0, 0, 0, {})), 0x69, 0x75));
    Bytes s = Status();
    EXPECT_GE(Le16(s, 8 + 4), 20);

    std::map<std::string, Bytes> images;
    for (const char* name : {"bootloader.bin", "partitions.bin", "application.bin"}) {
        const std::string n = name;
        ASSERT_TRUE(Acked(Send(DataFrame(0x66, 0x6E, Bytes(n.begin(), n.end()))), 0x66, 0x6E));
        Bytes content;
        for (int chunk = 0; chunk < 2; ++chunk) {
            Bytes part(chunk == 0 ? 65531 : 957, static_cast<uint8_t>(n.size() + chunk));
            ASSERT_TRUE(Acked(Send(DataFrame(0x66, 0x61, part)), 0x66, 0x61));
            content.insert(content.end(), part.begin(), part.end());
        }
        ASSERT_TRUE(Acked(Send(DataFrame(0x66, 0x63, {})), 0x66, 0x63));
        images[n] = content;
    }
    EXPECT_TRUE(Refused(Send(DataFrame(0x66, 0x61, Bytes(4, 0))), 0x66, 0x61)) << "no file open";
    auto files = emu->SdFiles();
    ASSERT_EQ(files.size(), 3u);
    for (const auto& [name, content] : images) {
        EXPECT_TRUE(files[name].closed) << name;
        EXPECT_EQ(files[name].data, content) << name;
    }

    ASSERT_TRUE(Acked(Send(UpdateFrame(3, 0, 0, 0, {})), 0x69, 0x75));
    for (int read = 0; read < 2; ++read) {
        Bytes busy = Status();
        EXPECT_EQ(busy[8], 1) << read;
        EXPECT_EQ(Le16(busy, 8 + 4), 0);
    }
    Bytes done = Status();
    EXPECT_EQ(done[8], 0);
    EXPECT_EQ(Le16(done, 8 + 4), 0);
}

// ---------------------------------------------------------------------------------------------
// Faults

TEST_F(EmulatorTest, FlashFaultsRefuseBlocksAndCorruptPages) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.runsApplication = false;
    d.faults = {Fault::RefuseFrame};
    Start(d);
    Activate();
    const Bytes block(300, 0xA5);
    EXPECT_TRUE(Refused(Send(UpdateFrame(2, 1, 0, 0x400010, block)), 0x69, 0x75));
    EXPECT_EQ(Ask(0x69, 0x69, 16)[8 + 2], 0) << "transfer not OK";

    emu->SetFault(Fault::RefuseFrame, false);
    emu->SetFault(Fault::CorruptPage, true);
    ASSERT_TRUE(Acked(Send(UpdateFrame(2, 1, 0, 0x400010, block)), 0x69, 0x75));
    Bytes page = Ask(0x69, 0x75, 4096, 0);
    ASSERT_TRUE(ReplyOk(page, 0x75, 4096));
    const Bytes flash = emu->ReadFlash(0x400000, 4096);
    size_t differ = 0;
    for (size_t i = 0; i < 4096; ++i) differ += page[8 + i] != flash[i];
    EXPECT_EQ(differ, 1u);
    EXPECT_NE(page[8 + 0x10], 0xA5) << "the changed byte lies in the block";
}

TEST_F(EmulatorTest, RestartFaults) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.faults = {Fault::RefuseBootware, Fault::OtherSerial, Fault::StayInBootware};
    d.serial = "A11111";
    d.otherSerial = "Q22222";
    Start(d);
    Activate();
    EXPECT_TRUE(Refused(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    emu->SetFault(Fault::RefuseBootware, false);
    ASSERT_TRUE(Acked(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    ExpectRestart();
    EXPECT_EQ(Text(host.Exchange(kDeviceInfoFrame, 32), 4 + 6, 6), "Q22222");

    // Never leaves Bootware: the commit restarts it into its boot loader again, old version.
    Activate();
    ASSERT_TRUE(Acked(Send(UpdateFrame(1, 350, 0, 0x1000, {})), 0x69, 0x75));
    ExpectRestart();
    EXPECT_EQ(Text(Ask(0x20, 0x69, 32), 8 + 9, 2), "BW");
    EXPECT_EQ(emu->State().version, 300);

    // Never comes back, until the fault is switched off.
    emu->SetFault(Fault::NeverReturn, true);
    emu->Update([](DeviceState& s) { s.runsApplication = true; });
    Activate();
    ASSERT_TRUE(Acked(Send(UpdateFrame(0, 0, 0, 0, {})), 0x69, 0x75));
    ASSERT_TRUE(host.WaitHangUp(3000));
    ASSERT_TRUE(emu->WaitOffline(3000));
    clock.Advance(10 * kRestartMs);
    EXPECT_FALSE(emu->WaitOnline(4, 200));
    EXPECT_FALSE(LinkExists(link));
    emu->SetFault(Fault::NeverReturn, false);
    EXPECT_TRUE(emu->WaitOnline(4, 3000));
}

// A boot loop: from the refused commit on, the device drops off each time it has been online for
// its flapping time and comes back in what it ran (here Bootware, old firmware), again and again.
TEST_F(EmulatorTest, FlappingBeginsAtItsCommandAndRepeats) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.runsApplication = false;
    d.flapMs = 2000;
    d.flapFromKind = 1;
    d.faults = {Fault::RefuseFrame};
    d.faultCommand = 'u';
    Start(d);
    Activate();
    clock.Advance(5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(emu->Publications(), 1u) << "flapped before its command";
    EXPECT_TRUE(Refused(Send(UpdateFrame(1, 350, 0, 0x1000, {})), 0x69, 0x75));
    for (uint32_t round = 0; round < 3; ++round) {
        const uint32_t before = emu->Publications();
        clock.Advance(2000);
        ASSERT_TRUE(host.WaitHangUp(3000)) << round;
        ASSERT_TRUE(emu->WaitOffline(3000)) << round << " " << emu->Publications() << " " << before;
        clock.Advance(kRestartMs);
        ASSERT_TRUE(emu->WaitOnline(before + 1, 3000)) << round;
        host.Close();
        ASSERT_TRUE(host.Open(link));
        EXPECT_EQ(Text(Ask(0x20, 0x69, 32), 8 + 9, 2), "BW");
    }
    EXPECT_EQ(emu->State().version, 300);
    EXPECT_GE(emu->State().restarts, 3u);
}

TEST_F(EmulatorTest, InstallFaultsAndStayBusy) {
    struct Case {
        Fault fault;
        std::vector<std::pair<int, int>> reads;  // (busy, error) of each status read
    };
    const Case cases[] = {
        {Fault::InstallError, {{1, 5}, {1, 5}, {0, 5}}},     // below 20: polling goes on
        {Fault::InstallErrorFatal, {{1, 20}, {0, 20}}},       // 20 or more while busy
        {Fault::StayBusy, {{1, 0}, {1, 0}, {1, 0}, {1, 0}}},  // never done
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(quillon_sim::FaultName(c.fault));
        DeviceState d = quillon_sim::MakeDevice(1160);
        d.installBusyReads = 2;
        d.faults = {c.fault};
        for (const char* n : {"bootloader.bin", "partitions.bin", "application.bin"})
            d.sdFiles[n] = quillon_sim::SdFile{Bytes(10, 1), true};
        Start(d);
        Activate();
        ASSERT_TRUE(Acked(Send(UpdateFrame(3, 0, 0, 0, {})), 0x69, 0x75));
        for (auto [busy, error] : c.reads) {
            Bytes s = Status();
            ASSERT_TRUE(ReplyOk(s, 0x53, 30));
            EXPECT_EQ(s[8], busy);
            EXPECT_EQ(Le16(s, 8 + 4), error);
        }
        Reset();
    }
}

TEST_F(EmulatorTest, ReplyFaultsDropGarbleOrDelayTheChosenCommand) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.faultCommand = 'S';  // status (and statistics) only
    d.faults = {Fault::DropReply};
    Start(d);
    EXPECT_TRUE(host.Exchange(Request(0x20, 0x53, 0, 30), 38, 300).empty());
    EXPECT_TRUE(ReplyOk(Ask(0x69, 0x73, 22), 0x73, 22)) << "other commands are answered";

    emu->SetFault(Fault::DropReply, false);
    emu->SetFault(Fault::GarbleReply, true);
    Bytes g = Status();
    ASSERT_EQ(g.size(), 38u);
    EXPECT_FALSE(ReplyOk(g, 0x53, 30));

    // Late: nothing until the clock has moved past the delay.
    emu->SetFault(Fault::GarbleReply, false);
    emu->SetFault(Fault::AnswerLate, true);
    ASSERT_TRUE(host.Write(Request(0x20, 0x53, 0, 30)));
    EXPECT_TRUE(host.Read(38, 200).empty());
    clock.Advance(20000);
    EXPECT_TRUE(ReplyOk(host.Read(38, 3000), 0x53, 30));
}

// ---------------------------------------------------------------------------------------------
// Robustness, throttle, lifecycle

TEST_F(EmulatorTest, GarbageAndHugeLengthsNeverStopTheDevice) {
    Start(quillon_sim::MakeDevice(1160));
    std::mt19937 rng(1150);
    Bytes noise(20000);
    for (auto& b : noise) {
        b = static_cast<uint8_t>(rng());
        if (b == 0x01 || b == 0x03) b = 0x00;  // no frame starts: pure noise
    }
    ASSERT_TRUE(host.Write(noise));
    // Malformed frames: bad second byte, lengths below 4, a command not starting with 05.
    const Bytes bad{0x01, 0x05, 0x03, 0x00, 0x02, 0x00, 0x05, 0x3F, 0x20, 0x53, 0x00, 0x00,
                    0x01, 0x00, 0x02, 0x00, 0x05, 0x20, 0x69, 0x61, 0x01, 0x00, 0x08, 0x00,
                    0x1C, 0x20, 0x69, 0x61};
    ASSERT_TRUE(host.Write(bad));
    EXPECT_EQ(host.Drain(100), 0u) << "nothing of this is answered";
    EXPECT_TRUE(ReplyOk(Status(), 0x53, 30));

    // A frame whose length field promises 65,535 bytes and then stops: it is dropped once the
    // line has been quiet for the frame gap, and the device answers again.
    ASSERT_TRUE(host.Write(Bytes{0x01, 0x00, 0xFF, 0xFF, 0x05, 0x20, 0x66, 0x61, 0x01, 0x02}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    clock.Advance(2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ReplyOk(Status(), 0x53, 30));
    auto log = emu->CommandLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.find("ignored") == 0; }));
    EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("incomplete frame") == 0; }));
}

TEST_F(EmulatorTest, ThrottleTakesAboutOneMillisecondPerTransactionAndByteRate) {
    DeviceState d = quillon_sim::MakeDevice(1160);
    d.runsApplication = false;
    d.serviceMode = true;
    Start(d, /*throttle=*/true);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(ReplyOk(Ask(0x69, 0x75, 4096, 1), 0x75, 4096));
    const auto took = std::chrono::steady_clock::now() - start;
    // 10 x (1 ms + about 4,100 bytes at 1 byte per microsecond): at least 50 ms.
    EXPECT_GE(took, std::chrono::milliseconds(50));
}

TEST_F(EmulatorTest, StopRemovesTheLinkAndAFileIsNeverReplaced) {
    Start(quillon_sim::MakeDevice(1160));
    EXPECT_EQ(fs::read_symlink(link), fs::path(emu->SlavePath()));
    emu->Stop();
    EXPECT_FALSE(LinkExists(link));
    EXPECT_TRUE(host.WaitHangUp(1000));

    const std::string file = dir + "/plain";
    std::ofstream(file) << "keep";
    quillon_sim::EmulatorConfig config;
    config.linkPath = file;
    NewerDeviceEmulator other(config);
    std::string error;
    EXPECT_FALSE(other.Start(&error));
    EXPECT_FALSE(error.empty());
    std::ifstream in(file);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
}

TEST(Devsim, RunsOneDeviceUntilSigterm) {
    const std::string dir = simtest::MakeTempDir();
    struct RemoveDir {
        std::string dir;
        ~RemoveDir() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{dir};
    const std::string link = dir + "/port";
    simtest::Child child = simtest::Spawn({QUILLON_DEVSIM_PATH, "--link", link, "--model", "660", "--serial",
                                           "D55555", "--version", "205", "--quiet", "--state-out", dir + "/state"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(simtest::ReadLine(child, 5000), link);
    {
        simtest::HostPort host;
        ASSERT_TRUE(host.Open(link));
        Bytes r = host.Exchange(kDeviceInfoFrame, 32);
        ASSERT_EQ(r.size(), 32u);
        EXPECT_EQ(r[4 + 2] << 8 | r[4 + 3], 660);
        EXPECT_EQ(Text(r, 4 + 6, 6), "D55555");
    }
    simtest::Terminate(child);
    EXPECT_EQ(simtest::WaitExit(child, 5000), 0);
    EXPECT_FALSE(LinkExists(link));
    // What the device ran and took, for scripts that check where an update left it.
    std::ifstream state(dir + "/state");
    const std::string written((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written,
              "runs application\nversion 205\nvariant 0\nserial D55555\nservice-mode off\nrestarts 0\n"
              "enter-bootware-sent 0\nblocks-written 0\ncommits 0\ninstalls 0\n");

    simtest::Child help = simtest::Spawn({QUILLON_DEVSIM_PATH, "--help"});
    const std::string text = simtest::ReadAll(help, 5000);
    EXPECT_EQ(simtest::WaitExit(help, 5000), 0);
    for (const auto& f : quillon_sim::AllFaults()) EXPECT_NE(text.find(f.name), std::string::npos) << f.name;
}

}  // namespace
