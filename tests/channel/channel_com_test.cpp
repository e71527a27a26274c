// The channel's COM route against a scripted device on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "devlib/commands.h"
#include "devlib/velmora.h"
#include "tests/comport/com_test_support.h"
#include "tests/support/library_fixture.h"
#include "transport/usb_communication.h"

using namespace velmora;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes B(std::initializer_list<int> v) {
    Bytes out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Answers of a 1160 with serial S12345, firmware 3.40, variant 0.
Bytes IdentityAnswer(const char* serial = "S12345") {
    Bytes data(24, 0);
    data[2] = 0x04;
    data[3] = 0x88;
    std::memcpy(data.data() + 6, serial, 6);
    data[12] = 0x03;
    data[13] = 0x40;
    const uint32_t sum = ByteSum(data.data(), 24);
    for (int s = 24; s >= 0; s -= 8) data.push_back(static_cast<uint8_t>(sum >> s));
    return Cat(B({0x1B, 0x64, 0x3F, 0x20}), data);
}

Bytes IdentityText(const char* serial = "S12345") {
    Bytes text(32, 0);
    std::memcpy(text.data(), "1160-000-  ", 11);
    std::memcpy(text.data() + 16, serial, 6);
    text[22] = 0x40;
    text[23] = 0x03;
    return Cat(B({0x04, 0x00, 0x24, 0x00, 0x05, 0x3F, 0x20, 0x69}), text);
}

const Bytes kInfoFrame = B({0x01, 0x00, 0x00, 0x20, 0x1B, 0x64, 0x3F, 0x20, 0, 0, 0, 0, 0, 0, 0, 0x20});
const Bytes kTextRequest = B({0x03, 0x00, 0x24, 0x00, 0x05, 0x3F, 0x20, 0x69, 0x00, 0x00});

// Keeps the slave side open for a test's lifetime, as a real device's port stays present: the
// master then never reads a hang-up between two opens of the host.
struct PresentPort {
    explicit PresentPort(const comtest::Pty& pty) : fd(::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~PresentPort() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

// A device that expects byte strings and answers each with canned bytes.
class ScriptedDevice {
public:
    struct Step {
        Bytes expect;
        Bytes answer;
    };
    ScriptedDevice(comtest::Pty& pty, std::vector<Step> steps) : pty_(pty), steps_(std::move(steps)) {
        thread_ = std::thread([this] {
            for (const Step& s : steps_) {
                received.push_back(pty_.Read(s.expect.size()));
                if (received.back() != s.expect) return;
                if (!s.answer.empty()) pty_.Write(s.answer);
            }
        });
    }
    ~ScriptedDevice() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    // Every step's bytes arrived as expected.
    void ExpectAllReceived() {
        Join();
        for (size_t i = 0; i < received.size() && i < steps_.size(); ++i)
            EXPECT_EQ(received[i], steps_[i].expect) << "step " << i;
        ASSERT_EQ(received.size(), steps_.size());
        for (size_t i = 0; i < steps_.size(); ++i) EXPECT_EQ(received[i], steps_[i].expect) << "step " << i;
    }
    std::vector<Bytes> received;

private:
    comtest::Pty& pty_;
    std::vector<Step> steps_;
    std::thread thread_;
};

class ChannelCom : public testsupport::LibraryWithLog {
protected:
    void Publish(const std::string& list) { setenv("VELMORA_COM_PORTS", list.c_str(), 1); }
};

TEST_F(ChannelCom, OpenIdentifiesTheDeviceOnItsPort) {
    comtest::Pty pty(dir / "port0");
    PresentPort present_pty(pty);
    Publish("0A1F=" + pty.link);
    ScriptedDevice dev(pty, {{kInfoFrame, IdentityAnswer()}, {kTextRequest, IdentityText()}});
    CUSBCommunication ch;
    EXPECT_EQ(ch.IsOpen(), 0);
    EXPECT_EQ(ch.runsApplication, 1);
    int ex = 0;
    ASSERT_EQ(ch.Open("1160", 0, &ex), 1);
    dev.ExpectAllReceived();
    EXPECT_EQ(ex, 16007);  // the USB-driver stage found no device first
    EXPECT_EQ(ch.IsOpen(), 1);
    EXPECT_EQ(ch.model, 1160);
    EXPECT_EQ(ch.version, 340);
    EXPECT_EQ(ch.variant, 0);
    EXPECT_EQ(ch.runsApplication, 1);
    EXPECT_STREQ(ch.serial, "S12345");
    EXPECT_EQ(NewLines(), (std::vector<std::string>{
                              "CUSBCommunication::Open / Error 07",
                              "CUSBCommunication::Open / numAvailableComPorts (660) -1",
                              "CUSBCommunication::Open / numAvailableComPorts (1160) 1",
                              "CUSBCommunication::Open / numAvailableComPorts (660+1160) 1",
                              "CSerialComPortOperations / OpenCOM: 128000",
                              "CUSBCommunication::OpenCOM NEW 128000________1"}));
    EXPECT_EQ(ch.Close(), 1);
    EXPECT_EQ(ch.IsOpen(), 0);
    EXPECT_EQ(ch.Close(), 0);
}

TEST_F(ChannelCom, RequestMismatchesAreRejectedAndThePortIsLetGo) {
    comtest::Pty pty(dir / "port0");
    PresentPort present_pty(pty);
    Publish("0A1F=" + pty.link);
    struct Case {
        const char* request;
        int exError;
        const char* line;
    } cases[] = {
        {"1160-XXXXXX", 16003, "CUSBCommunication::Open / Error 10"},
        {"-S12345", 16002, "CUSBCommunication::Open / Error 09"},
        {"660", 16001, "CUSBCommunication::Open / Error 08"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        ScriptedDevice dev(pty, {{kInfoFrame, IdentityAnswer()}, {kTextRequest, IdentityText()}});
        CUSBCommunication ch;
        int ex = 0;
        EXPECT_EQ(ch.Open(c.request, 0, &ex), 0);
        dev.ExpectAllReceived();
        EXPECT_EQ(ex, c.exError);
        EXPECT_EQ(ch.IsOpen(), 0);
        EXPECT_EQ(NewLines().back(), c.line);
        // The port was closed, so the next search can open it again.
        EXPECT_EQ(ch.ComPort(), kInvalidComHandle);
    }
    ScriptedDevice dev(pty, {{kInfoFrame, IdentityAnswer()}, {kTextRequest, IdentityText()}});
    CUSBCommunication ch;
    int ex = 0;
    EXPECT_EQ(ch.Open("1160-S12345", 0, &ex), 1);
    dev.ExpectAllReceived();
    ch.Close();
}

TEST_F(ChannelCom, NoPortAndAFailedIdentificationOpenNothing) {
    Publish("0A1F=" + dir / "absent");
    CUSBCommunication ch;
    int ex = 0;
    EXPECT_EQ(ch.Open("1160", 0, &ex), 0);
    EXPECT_EQ(NewLines().back(), "CUSBCommunication::Open / Error 13");

    // A device whose identity reply is garbled: the only port fails, and Open says so.
    comtest::Pty pty(dir / "port0");
    PresentPort present_pty(pty);
    Publish("0A1F=" + pty.link);
    Bytes garbled = IdentityAnswer();
    garbled[10] ^= 0xFF;
    ScriptedDevice dev(pty, {{kInfoFrame, garbled}});
    EXPECT_EQ(ch.Open("1160", 0, &ex), 0);
    dev.ExpectAllReceived();
    EXPECT_EQ(NewLines().back(), "CUSBCommunication::Open / Error 15");
    EXPECT_EQ(ch.IsOpen(), 0);
    EXPECT_EQ(ch.ComPort(), kInvalidComHandle);
}

TEST_F(ChannelCom, TransactRoutesAndWriteAcknowledgement) {
    comtest::Pty pty(dir / "port0");
    PresentPort present_pty(pty);
    Publish("0A1F=" + pty.link);
    const Bytes status = B({0x05, 0x3F, 0x20, 0x53, 0x00, 0x00});
    Bytes statusReply = Cat(B({0x04, 0, 0x22, 0, 0x05, 0x3F, 0, 0x53}), Bytes(30, 0x11));
    Bytes wrongLetter = statusReply;
    wrongLetter[7] = 0x54;
    const Bytes closeFile = B({0x01, 0x00, 0x04, 0x00, 0x05, 0x20, 0x66, 0x63});
    const Bytes shortReq = B({0x05, 0x3F, 0x20, 'r'});
    const Bytes framed = B({0x01, 0x00, 0x04, 0x00, 0x05, 0x20, 0x66, 'R'});
    ScriptedDevice dev(pty, {{kInfoFrame, IdentityAnswer()},
                             {kTextRequest, IdentityText()},
                             {Cat(B({0x03, 0x00, 0x22, 0x00}), status), statusReply},
                             {Cat(B({0x03, 0x00, 0x22, 0x00}), status), wrongLetter},
                             {closeFile, B({0x02, 0, 0, 0, 0x05, 0x21, 0x66, 0x63})},
                             {closeFile, B({0x02, 0, 0, 0, 0x05, 0x21, 0x66, 0x64})},
                             {Cat(B({0x03, 0x00, 0x05, 0x00}), shortReq), B({0x06, 1, 2, 3, 4, 5, 6, 7, 8})},
                             {framed, B({0x05, 0, 0, 0x04, 0x01, 0, 0, 0})}});
    CUSBCommunication ch;
    int ex = 0;
    ASSERT_EQ(ch.Open(nullptr, 0, &ex), 1);
    Bytes reply;
    EXPECT_EQ(ch.Transact(0, status.data(), 6, 30, &reply), 30);
    EXPECT_EQ(reply, Bytes(30, 0x11));
    EXPECT_EQ(ch.Transact(0, status.data(), 6, 30, &reply), -2);
    EXPECT_EQ(ch.Write(closeFile.data(), 8, 0, 0), 1);
    EXPECT_EQ(ch.Write(closeFile.data(), 8, 0, 0), -2);
    EXPECT_EQ(ch.Transact(-1, shortReq.data(), 4, 5, &reply), 1);
    EXPECT_EQ(reply.size(), 9u);
    EXPECT_EQ(ch.Transact(-1, framed.data(), 8, 0, &reply), -10);
    dev.ExpectAllReceived();
    // Older-family queries other than the device information have no route here.
    const Bytes older = B({0x1B, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(ch.Transact(0, older.data(), 12, 30, &reply), -1);
    // Nor has a command too short to carry the letter the reply echoes: nothing is sent.
    for (int len = 1; len < 4; ++len) {
        const Bytes shortCommand(older.begin(), older.begin() + len);
        Bytes newer = shortCommand;
        newer[0] = 0x05;
        EXPECT_EQ(ch.Transact(0, newer.data(), len, 4, &reply), -1) << len;
    }
    EXPECT_TRUE(pty.Read(1, 100).empty());
    ch.Close();
}

TEST_F(ChannelCom, ListOfAvailableDevices) {
    comtest::Pty a(dir / "port0");
    PresentPort present_a(a);
    comtest::Pty b(dir / "port1");
    PresentPort present_b(b);
    Publish("0A1F=" + a.link + ";0A1F=" + b.link);
    ScriptedDevice da(a, {{kTextRequest, IdentityText("AAAAAA")}});
    ScriptedDevice db(b, {{kTextRequest, IdentityText("BBBBBB")}});
    CUSBCommunication ch;
    std::vector<uint8_t> list;
    EXPECT_EQ(ch.GetListOfAvailableDevices(&list), 2);
    da.ExpectAllReceived();
    db.ExpectAllReceived();
    ASSERT_EQ(list.size(), 24u);
    EXPECT_EQ(Bytes(list.begin(), list.begin() + 12), B({1, 0, 0x88, 0x04, 'A', 'A', 'A', 'A', 'A', 'A', 0, 0}));
    EXPECT_EQ(list[12], 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list.data()) + 16), "BBBBBB");

    Publish("0A1F=" + dir / "absent");
    std::vector<uint8_t> untouched = {9};
    EXPECT_EQ(ch.GetListOfAvailableDevices(&untouched), 0);
    EXPECT_EQ(untouched, Bytes{9});
}

TEST_F(ChannelCom, BusyPortIsExplainedToTheUser) {
    comtest::Pty pty(dir / "port0");
    PresentPort present_pty(pty);
    Publish("0A1F=" + pty.link);
    const int port = comtest::PortOf(pty);
    ComHandle holder = OpenCOM(static_cast<uint8_t>(port));
    ASSERT_NE(holder, kInvalidComHandle);
    EXPECT_EQ(OpenV2(1, "1160", nullptr), -1);
    const std::string why = DescribeLastOpenFailure();
    EXPECT_NE(why.find(pty.link), std::string::npos) << why;
    EXPECT_NE(why.find("in use by another program"), std::string::npos) << why;
    CloseCOM(holder);
}

}  // namespace
