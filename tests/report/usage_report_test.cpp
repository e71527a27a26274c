// The usage report: the decision to send, the report data with their first-failure rule, the
// form body, one report thread at a time, and the post over real TLS to a loopback server.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "devlib/velmora.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "report/usage_report.h"
#include "tests/devlib/test_channel.h"
#include "tests/report/loopback.h"
#include "tests/support/temp_dir.h"

using report::ReportRecord;
using report::ReportService;
using report::ReportStart;
using testsupport::TestChannel;

namespace {

constexpr const char* kAccessKey = "0123456789abcdef0123456789abcdef";

class NullSink : public platform::EventSink {
public:
    bool Report(const platform::Event&) override { return true; }
};

// What the scripted device holds.
struct Device {
    int printSeq = 5;
    int effects = 258;
    int signals = 772;
    int spitting = 3;
    uint16_t stats = 0x0080;
    int storedImages = 4;
    int phLevel = 77;
    uint32_t printCounter = 123456;
    std::vector<uint8_t> errors = {12, 7, 0xFF};
    int options = 9;
    int cartridge = 42;
    std::vector<std::string> files = {"a.img", "b.img", "c.img"};
};

// The values of the pieces that depend on the device, in body order.
struct Pieces {
    std::string serial = "A1B2C3";
    std::string oldFw = "3.40-000";
    std::string newFw = "3.50-000";
    std::string counter = "123456";
    std::string cartridge = "42";
    std::string imprint = "5";
    std::string effects = "258";
    std::string signals = "772";
    std::string functions = "0";  // the newer family's parameters carry no function word
    std::string errors = "Errors= 12 / 7 /&";
    std::string options = "9";
    std::string images = "005/003";
    std::string security = "3";
    std::string level = "77";
    std::string spitting = "3";
    std::string dataFrom = "FirmwareUpdateTool";
    std::string times = "t1=60&t2=360&t3=7200&";
};

std::string Body(const Pieces& p) {
    return "Device=Norvik1150&SerialNumber=" + p.serial + "&DataFrom=" + p.dataFrom + "&OldFirmware=" + p.oldFw +
           "&NewFirmware=" + p.newFw + "&Bootware=---&PrintCounter=" + p.counter + "&PrintCartridge=" + p.cartridge +
           "&GeoLocation=---/---&ImprintSequence=" + p.imprint + "&Effects=" + p.effects + "&Signals=" + p.signals +
           "&Functions=" + p.functions + "&" + p.errors + "DeviceOptions=" + p.options +
           "&NumberOfStoredPrintImages= " + p.images + "&Connection=0&DeviceSecurity=" + p.security +
           "&CartridgeLevel=" + p.level + "&Spitting=" + p.spitting + "&" + p.times + "k=" + kAccessKey;
}

Pieces NotAvailableFrom(int firstFailed /* 0 parameters, 1 status, 2 statistic, 3 print head */) {
    Pieces p;
    if (firstFailed <= 0) p.imprint = p.effects = p.signals = p.functions = "65535", p.spitting = "255";
    if (firstFailed <= 1) p.images = "256/000", p.security = "2", p.level = "255";
    if (firstFailed <= 2) p.counter = "-1", p.options = "255";
    p.cartridge = "255";
    p.images = p.images.substr(0, 4) + "000";  // the file list is not read
    p.errors = "Errors=- Data save error " + std::to_string(firstFailed + 2) + "&";
    return p;
}

velmora::DeviceInfo MakeInfo(const char* serial = "A1B2C3", uint8_t runsApplication = 1) {
    velmora::DeviceInfo info{};
    info.version = 340;
    info.model = 1160;
    info.variant = 0;
    info.runsApplication = runsApplication;
    std::memcpy(info.serial, serial, std::min<size_t>(6, std::strlen(serial)));
    return info;
}

// Library started in a temporary folder with a scripted device as id 0, the companion
// program's settings in a temporary configuration folder, and a virtual clock at 10:30.
class UsageReport : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certDir = new testsupport::TempDir();
        trusted = testsupport::MakeTestCertificate(certDir->path(), "trusted");
        stranger = testsupport::MakeTestCertificate(certDir->path(), "stranger");
    }
    static void TearDownTestSuite() {
        delete certDir;
        certDir = nullptr;
    }

    void SetUp() override {
        velmora::ResetLibraryForTest();
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        // The loopback server is reached directly, whatever proxy the environment names.
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("NO_PROXY", "127.0.0.1", 1);
        unsetenv("QUILLON_REPORT_HOST");
        unsetenv("QUILLON_REPORT_CA_FILE");
        platform::SetEventSink(&sink);
        platform::LocalTime t = platform::VirtualClock::DefaultStart();
        t.hour = 10;
        t.minute = 30;
        clock.SetLocalTime(t);
        platform::SetClock(&clock);
        velmora::InitLibrary();
        velmora::SetChannelFactoryForTest([this]() -> velmora::CDeviceCommunication* {
            channel = new TestChannel(1160);
            return channel;
        });
        ASSERT_EQ(velmora::OpenV2(1, "1160", nullptr), 0);
        noHost.accessKey = kAccessKey;
    }

    void TearDown() override {
        report::WaitForReportThread();
        velmora::Close(0);
        velmora::SetChannelFactoryForTest(nullptr);
        velmora::ResetLibraryForTest();
        platform::SetClock(nullptr);
        platform::SetEventSink(nullptr);
        unsetenv("VELMORA_COMMON_APPDATA");
        unsetenv("VELMORA_LOCK_DIR");
        unsetenv("XDG_CONFIG_HOME");
    }

    void Setting(const std::string& text) { testsupport::WriteFile(dir / "config/Kalder/Tavlo GRAPHIC.conf", text); }

    // Scripts the replies of the reads in their order; failAt stops the script there, so that
    // read fails (0 parameters, 1 status, 2 statistic, 3 print head, 4 first file entry).
    void Script(const Device& d, int failAt = 99) {
        if (failAt <= 0) return;
        std::vector<uint8_t> parameter(64, 0);
        parameter[2] = static_cast<uint8_t>(d.printSeq);
        parameter[4] = static_cast<uint8_t>(d.effects >> 8);
        parameter[5] = static_cast<uint8_t>(d.effects);
        parameter[6] = static_cast<uint8_t>(d.signals);
        parameter[7] = static_cast<uint8_t>(d.signals >> 8);
        parameter[9] = static_cast<uint8_t>(d.spitting);
        channel->Payload(parameter);
        if (failAt <= 1) return;
        std::vector<uint8_t> status(30, 0);
        status[2] = static_cast<uint8_t>(d.stats);
        status[3] = static_cast<uint8_t>(d.stats >> 8);
        status[13] = static_cast<uint8_t>(d.storedImages);
        status[10] = static_cast<uint8_t>(d.phLevel);
        channel->Payload(status);
        if (failAt <= 2) return;
        std::vector<uint8_t> statistic(998, 0);
        for (int i = 0; i < 4; ++i) statistic[static_cast<size_t>(i)] = static_cast<uint8_t>(d.printCounter >> (8 * i));
        std::copy(d.errors.begin(), d.errors.end(), statistic.begin() + 4);
        statistic[990] = static_cast<uint8_t>(d.options);
        channel->Payload(statistic);
        if (failAt <= 3) return;
        std::vector<uint8_t> printHead(26, 0);
        printHead[2] = static_cast<uint8_t>(d.cartridge);
        channel->Payload(printHead);
        if (failAt <= 4) return;
        for (const std::string& name : d.files) {
            std::vector<uint8_t> entry(64, 0);
            std::memcpy(entry.data() + 4, name.data(), std::min<size_t>(name.size(), 50));
            channel->Payload(entry);
        }
        if (d.files.size() < 255) channel->Payload(std::vector<uint8_t>(64, 0));  // the end of the list
    }

    ReportService Loopback(const testsupport::TlsServer& server) {
        ReportService s;
        s.host = "127.0.0.1";
        s.port = server.Port();
        s.accessKey = kAccessKey;
        s.caFile = trusted.certFile;
        return s;
    }

    static testsupport::TempDir* certDir;
    static testsupport::TestCertificate trusted;
    static testsupport::TestCertificate stranger;

    testsupport::TempDir dir;
    NullSink sink;
    platform::VirtualClock clock;
    TestChannel* channel = nullptr;
    ReportService noHost;  // the thread ends at once: nothing is sent
    ReportRecord record;
};

testsupport::TempDir* UsageReport::certDir = nullptr;
testsupport::TestCertificate UsageReport::trusted;
testsupport::TestCertificate UsageReport::stranger;

// ---------------------------------------------------------------------------------------
// Whether to report

TEST_F(UsageReport, CompanionSettingSwitchesTheReportOff) {
    struct Case {
        const char* settings;  // nullptr: no settings file
        bool reported;
    } cases[] = {
        {nullptr, true},
        {"[General]\nDataToDatabase=0\n", true},
        {"[General]\nDataToDatabase=1\n", false},
        {"[General]\nDataToDatabase=\"1\"\n", false},
        {"[General]\nDataToDatabase= 2 apples\n", false},
        {"[General]\nDataToDatabase=-1\n", false},
        {"[General]\nDataToDatabase=abc\n", true},  // no leading number reads 0
        {"[General]\nDataToDatabase=0x1\n", true},  // the leading number is 0
        {"[General]\nDataToDatabase=\n", true},
        {"[General]\nOther=1\n", true},
        {"[Elsewhere]\nDataToDatabase=1\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings ? c.settings : "(no file)");
        std::filesystem::remove_all(dir / "config");
        if (c.settings) Setting(c.settings);
        channel->sent.clear();
        channel->answers.clear();
        Script(Device{});
        record = ReportRecord{};
        const ReportStart started = report::CollectReportData(&record, 0, MakeInfo(), 350, 0, noHost);
        EXPECT_EQ(started, c.reported ? ReportStart::Started : ReportStart::NotReported);
        EXPECT_EQ(channel->sent.size(), c.reported ? 8u : 0u);  // four reads, four file entries
        if (c.reported) {
            EXPECT_EQ(report::WaitForReportThread(), -1);  // no host: nothing sent
        } else {
            EXPECT_FALSE(report::ReportThreadRunning());
        }
    }
}

TEST_F(UsageReport, UnreadableSettingsLetTheReportGo) {
    std::filesystem::create_directories(dir / "config/Kalder/Tavlo GRAPHIC.conf");  // a folder, not a file
    EXPECT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, noHost), ReportStart::Started);
}

TEST_F(UsageReport, DeviceInBootwareIsNotReported) {
    Script(Device{});
    EXPECT_EQ(report::CollectReportData(&record, 0, MakeInfo("A1B2C3", 0), 350, 0, noHost), ReportStart::NotReported);
    EXPECT_TRUE(channel->sent.empty());
    EXPECT_FALSE(report::ReportThreadRunning());
    EXPECT_TRUE(record.serialText.empty());
}

// ---------------------------------------------------------------------------------------
// Report data and body

TEST_F(UsageReport, EveryReadSucceedsAndTheBodyHoldsEveryPieceInOrder) {
    Script(Device{});
    const velmora::DeviceInfo info = MakeInfo();
    ASSERT_EQ(report::CollectReportData(&record, 0, info, 350, 0, noHost), ReportStart::Started);
    EXPECT_EQ(record.failureFlags, 0u);
    EXPECT_EQ(record.fileCount, 3);
    EXPECT_EQ(std::memcmp(&record.deviceInfoCopy, &info, sizeof info), 0);
    // The reads in their order: parameters, status, statistic, print head, file entries 0 to 3.
    ASSERT_EQ(channel->sent.size(), 8u);
    const uint8_t expected[][4] = {{0x05, 0x3F, 0x20, 0x70}, {0x05, 0x3F, 0x20, 0x53}, {0x05, 0x3F, 0x69, 0x53},
                                   {0x05, 0x3F, 0x69, 0x44}, {0x05, 0x3F, 0x20, 0x44}};
    for (size_t i = 0; i < 8; ++i) {
        const uint8_t* e = expected[std::min<size_t>(i, 4)];
        ASSERT_GE(channel->sent[i].bytes.size(), 6u);
        EXPECT_EQ(std::vector<uint8_t>(channel->sent[i].bytes.begin(), channel->sent[i].bytes.begin() + 4),
                  std::vector<uint8_t>(e, e + 4))
            << i;
        if (i >= 4) {
            EXPECT_EQ(channel->sent[i].bytes[4], i - 4);  // the file index
        }
    }
    EXPECT_EQ(report::ComposeReportBody(record, false, 10, 30, kAccessKey), Body(Pieces{}));
}

TEST_F(UsageReport, EmptySerialNumberSendsNotAvailableValuesWithoutReadingTheDevice) {
    Script(Device{});
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(""), 350, 0, noHost), ReportStart::Started);
    EXPECT_TRUE(channel->sent.empty());
    EXPECT_EQ(record.failureFlags, report::kNoSerial);
    EXPECT_EQ(record.fileCount, 0);
    EXPECT_EQ(report::ComposeReportBody(record, false, 10, 30, kAccessKey),
              "Device=Norvik1150&SerialNumber=unknown&DataFrom=FirmwareUpdateTool&OldFirmware=unknown&"
              "NewFirmware=unknown&Bootware=---&PrintCounter=-1&PrintCartridge=255&GeoLocation=---/---&"
              "ImprintSequence=65535&Effects=65535&Signals=65535&Functions=65535&Errors=- Data save error 1&"
              "DeviceOptions=255&NumberOfStoredPrintImages= 256/000&Connection=0&DeviceSecurity=2&"
              "CartridgeLevel=255&Spitting=255&t1=60&t2=360&t3=7200&k=0123456789abcdef0123456789abcdef");
}

TEST_F(UsageReport, FirstFailedReadSetsItsFlagAndStopsTheReads) {
    const uint32_t flags[] = {report::kParameterFailed, report::kStatusFailed, report::kStatisticFailed,
                              report::kPrintHeadFailed};
    for (int failAt = 0; failAt < 4; ++failAt) {
        SCOPED_TRACE(failAt);
        channel->sent.clear();
        channel->answers.clear();
        Script(Device{}, failAt);
        record = ReportRecord{};
        ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, noHost), ReportStart::Started);
        report::WaitForReportThread();
        EXPECT_EQ(record.failureFlags, flags[failAt]);
        EXPECT_EQ(channel->sent.size(), static_cast<size_t>(failAt + 1));  // nothing read after the failure
        EXPECT_EQ(record.fileCount, 0);
        const velmora::DeviceInfo none{};
        EXPECT_EQ(std::memcmp(&record.deviceInfoCopy, &none, sizeof none), 0);  // no copy
        EXPECT_EQ(report::ComposeReportBody(record, false, 10, 30, kAccessKey), Body(NotAvailableFrom(failAt)));
    }
}

TEST_F(UsageReport, FileListThatCannotBeReadCountsMinusOne) {
    Script(Device{}, 4);
    const velmora::DeviceInfo info = MakeInfo();
    ASSERT_EQ(report::CollectReportData(&record, 0, info, 350, 0, noHost), ReportStart::Started);
    EXPECT_EQ(record.fileCount, -1);
    EXPECT_EQ(record.failureFlags, 0u);
    EXPECT_EQ(std::memcmp(&record.deviceInfoCopy, &info, sizeof info), 0);
    Pieces p;
    p.images = "005/-01";
    EXPECT_EQ(report::ComposeReportBody(record, false, 10, 30, kAccessKey), Body(p));
}

TEST_F(UsageReport, AtMost255FilesAreCounted) {
    Device d;
    d.files.assign(300, "x.img");
    Script(d);
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, noHost), ReportStart::Started);
    EXPECT_EQ(record.fileCount, 255);
    EXPECT_EQ(channel->sent.size(), 4u + 255u);
}

TEST_F(UsageReport, VersionTextsAndSecurityBits) {
    struct Case {
        int deviceVersion, deviceVariant, imageVersion, imageVariant;
        const char* oldText;
        const char* newText;
    } versions[] = {
        {340, 0, 350, 0, "3.40-000", "3.50-000"},
        {5, 7, 1005, 123, "0.05-007", "10.05-123"},
        {65535, 999, 200, 1000, "655.35-999", "2.00-1000"},
    };
    for (const Case& c : versions) {
        velmora::DeviceInfo info = MakeInfo();
        info.version = static_cast<uint16_t>(c.deviceVersion);
        info.variant = static_cast<uint16_t>(c.deviceVariant);
        ASSERT_EQ(report::CollectReportData(&record, 0, info, c.imageVersion, c.imageVariant, noHost),
                  ReportStart::Started);
        report::WaitForReportThread();
        EXPECT_EQ(record.oldFirmwareText, c.oldText);
        EXPECT_EQ(record.newFirmwareText, c.newText);
    }
    // Bits 7 and 6 of the low byte of stats; the high byte plays no part.
    const std::pair<uint16_t, const char*> security[] = {
        {0x0000, "DeviceSecurity=0&"}, {0xC000, "DeviceSecurity=0&"}, {0x0040, "DeviceSecurity=0&"},
        {0x00C0, "DeviceSecurity=2&"}, {0x0080, "DeviceSecurity=3&"}, {0x00BF, "DeviceSecurity=3&"},
    };
    for (const auto& [stats, piece] : security) {
        record.status.stats = stats;
        EXPECT_NE(report::ComposeReportBody(record, false, 10, 30, kAccessKey).find(piece), std::string::npos)
            << stats;
    }
}

TEST_F(UsageReport, ErrorListAndTheLongestBody) {
    struct Case {
        std::vector<uint8_t> errors;
        std::string piece;
    } cases[] = {
        {{12, 7, 0xFF}, "&Errors= 12 / 7 /&"},
        {{0xFF, 3}, "&Errors=&"},
        {{0, 0xFF}, "&Errors= 0 /&"},
    };
    for (const Case& c : cases) {
        std::memset(record.statistic.errors, 0, sizeof record.statistic.errors);
        std::copy(c.errors.begin(), c.errors.end(), record.statistic.errors);
        EXPECT_NE(report::ComposeReportBody(record, false, 10, 30, kAccessKey).find(c.piece), std::string::npos)
            << c.piece;
    }
    // 950 entries without an end mark: all of them, and the body stays below 6,500 bytes.
    std::memset(record.statistic.errors, 254, sizeof record.statistic.errors);
    record.serialText = "A1B2C3";
    record.oldFirmwareText = record.newFirmwareText = "655.35-65535";
    record.fileCount = -1;
    const std::string body = report::ComposeReportBody(record, true, 23, 59, kAccessKey);
    std::string list;
    for (int i = 0; i < 950; ++i) list += " 254 /";
    EXPECT_NE(body.find("&Errors=" + list + "&DeviceOptions="), std::string::npos);
    EXPECT_LT(body.size(), 6500u);
}

TEST_F(UsageReport, LocalTimeAndIntranetPieces) {
    EXPECT_NE(report::ComposeReportBody(record, false, 10, 30, kAccessKey).find("&t1=60&t2=360&t3=7200&k="),
              std::string::npos);
    EXPECT_NE(report::ComposeReportBody(record, false, 0, 0, kAccessKey).find("&t1=0&t2=0&t3=0&k="), std::string::npos);
    EXPECT_NE(report::ComposeReportBody(record, false, 23, 59, kAccessKey).find("&t1=138&t2=708&t3=32568&k="),
              std::string::npos);
    EXPECT_NE(report::ComposeReportBody(record, true, 10, 30, kAccessKey).find("&DataFrom=FirmwareUpdateTool-KALDER intern&"),
              std::string::npos);
    EXPECT_NE(report::ComposeReportBody(record, false, 10, 30, kAccessKey).find("&DataFrom=FirmwareUpdateTool&"),
              std::string::npos);

    EXPECT_TRUE(report::IsIntranetName("pc7.intra.kalder.example", "kalder.example"));
    EXPECT_TRUE(report::IsIntranetName("PC7.INTRA.KALDER.EXAMPLE", "kalder.example"));
    EXPECT_FALSE(report::IsIntranetName("pc7.example.org", "kalder.example"));
    EXPECT_FALSE(report::IsIntranetName("kalder", "kalder.example"));
    EXPECT_FALSE(report::IsIntranetName("pc7.kalder.example", ""));  // no marker configured: never internal
}

TEST_F(UsageReport, ValuesThatWouldBreakTheFormArePercentEncoded) {
    Script(Device{});
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo("A&B=+%"), 350, 0, noHost), ReportStart::Started);
    EXPECT_EQ(record.serialText, "A&B=+%");
    const std::string body = report::ComposeReportBody(record, false, 10, 30, kAccessKey);
    EXPECT_NE(body.find("&SerialNumber=A%26B%3D%2B%25&DataFrom="), std::string::npos) << body;
    record.serialText = std::string("\x01 \xe9Z", 4);
    EXPECT_NE(report::ComposeReportBody(record, false, 10, 30, kAccessKey).find("&SerialNumber=%01 %E9Z&"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------
// The post over TLS

TEST_F(UsageReport, ReportLeavesTheProgramByteForByteOverTls) {
    ASSERT_FALSE(trusted.certFile.empty()) << "openssl could not make a certificate";
    testsupport::TlsServer server(trusted);
    ASSERT_TRUE(server.Ready());
    Script(Device{});
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, Loopback(server)), ReportStart::Started);
    EXPECT_EQ(report::WaitForReportThread(), 1);
    EXPECT_FALSE(report::ReportThreadRunning());

    const std::vector<testsupport::ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const testsupport::ReceivedRequest& r = requests[0];
    EXPECT_EQ(r.requestLine, "POST / HTTP/1.1");
    EXPECT_EQ(r.body, Body(Pieces{}));
    EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(r.Header("User-Agent"), "Fimrware update Norvik 1150");
    EXPECT_EQ(r.Header("Accept"), "HTTP / 1.1");
    EXPECT_EQ(r.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.Header("Host"), "127.0.0.1:" + std::to_string(server.Port()));
    std::set<std::string> names;
    for (const auto& h : r.headers) names.insert(h.first);
    EXPECT_EQ(names, (std::set<std::string>{"Host", "User-Agent", "Accept", "Cache-Control", "Content-Type",
                                            "Content-Length"}));
}

TEST_F(UsageReport, LongestBodyArrivesWhole) {
    testsupport::TlsServer server(trusted);
    ASSERT_TRUE(server.Ready());
    Device d;
    d.errors.assign(950, 254);
    Script(d);
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, noHost), ReportStart::Started);
    report::WaitForReportThread();
    EXPECT_EQ(report::UsageReportThread(record, Loopback(server)), 1);
    const std::vector<testsupport::ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, report::ComposeReportBody(record, false, 10, 30, kAccessKey));
    EXPECT_GT(requests[0].body.size(), 5700u);
    EXPECT_EQ(requests[0].Header("Expect"), "");  // sent at once, no 100-continue pause
}

TEST_F(UsageReport, UntrustedServerReceivesNothing) {
    ASSERT_FALSE(stranger.certFile.empty());
    testsupport::TlsServer server(stranger);  // the client trusts only the other certificate
    ASSERT_TRUE(server.Ready());
    Script(Device{});
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(), 350, 0, Loopback(server)), ReportStart::Started);
    EXPECT_EQ(report::WaitForReportThread(), -1);
    EXPECT_EQ(report::UsageReportThread(record, Loopback(server)), -1);
    for (int i = 0; i < 200 && server.FailedHandshakes() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.FailedHandshakes(), 2);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UsageReport, NoServerAndNoHostGiveMinusOne) {
    ReportService closed;
    {
        testsupport::TlsServer server(trusted);
        closed = Loopback(server);
    }  // the port is closed again
    EXPECT_EQ(report::UsageReportThread(record, closed), -1);
    EXPECT_EQ(report::UsageReportThread(record, noHost), -1);
    ReportService bad = closed;
    bad.host = "127.0.0.1/evil?";
    EXPECT_EQ(report::UsageReportThread(record, bad), -1);
}

TEST_F(UsageReport, SecondStartWhileAReportRunsStartsNothing) {
    testsupport::TlsServer server(trusted);
    ASSERT_TRUE(server.Ready());
    server.HoldAnswers(true);
    const ReportService service = Loopback(server);
    ASSERT_EQ(report::CollectReportData(&record, 0, MakeInfo(""), 350, 0, service), ReportStart::Started);
    ASSERT_TRUE(server.WaitForRequests(1, 10000));
    EXPECT_TRUE(report::ReportThreadRunning());

    EXPECT_EQ(report::CollectReportData(&record, 0, MakeInfo(""), 350, 0, service), ReportStart::AlreadyRunning);
    EXPECT_TRUE(report::ReportThreadRunning());

    server.HoldAnswers(false);
    EXPECT_EQ(report::WaitForReportThread(), 1);
    EXPECT_FALSE(report::ReportThreadRunning());
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(server.Requests().size(), 1u);

    // The mark is clear again: the next start reports.
    EXPECT_EQ(report::CollectReportData(&record, 0, MakeInfo(""), 350, 0, service), ReportStart::Started);
    EXPECT_EQ(report::WaitForReportThread(), 1);
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(UsageReport, IntranetDecisionUsesTheComputersOfficialName) {
    std::string official;
    if (!platform::OfficialHostName(&official)) GTEST_SKIP() << "this computer's name does not resolve";
    testsupport::TlsServer server(trusted);
    ASSERT_TRUE(server.Ready());
    ReportService service = Loopback(server);
    service.intranetMarker = official;
    EXPECT_EQ(report::UsageReportThread(record, service), 1);
    service.intranetMarker = "no-such-marker.invalid";
    EXPECT_EQ(report::UsageReportThread(record, service), 1);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].body.find("&DataFrom=FirmwareUpdateTool-KALDER intern&"), std::string::npos);
    EXPECT_NE(requests[1].body.find("&DataFrom=FirmwareUpdateTool&"), std::string::npos);
}

TEST_F(UsageReport, EnvironmentPointsTheProgramAtAnotherServer) {
    const ReportService built = report::BuiltInService();
    EXPECT_EQ(report::ConfiguredService().host, built.host);
    EXPECT_EQ(report::ConfiguredService().port, 443);

    setenv("QUILLON_REPORT_HOST", "127.0.0.1:8443", 1);
    setenv("QUILLON_REPORT_CA_FILE", "/tmp/test-ca.pem", 1);
    ReportService s = report::ConfiguredService();
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 8443);
    EXPECT_EQ(s.caFile, "/tmp/test-ca.pem");
    EXPECT_EQ(s.accessKey, built.accessKey);

    setenv("QUILLON_REPORT_HOST", "", 1);  // set but empty: nothing is sent
    EXPECT_EQ(report::ConfiguredService().host, "");
    EXPECT_EQ(report::UsageReportThread(record, report::ConfiguredService()), -1);

    setenv("QUILLON_REPORT_HOST", "report.example:99999", 1);  // no port: the host is refused
    s = report::ConfiguredService();
    EXPECT_EQ(s.host, "report.example:99999");
    EXPECT_EQ(report::UsageReportThread(record, s), -1);
    unsetenv("QUILLON_REPORT_HOST");
    unsetenv("QUILLON_REPORT_CA_FILE");
}

// ---------------------------------------------------------------------------------------
// Program exit while a report runs

TEST_F(UsageReport, ProgramThatEndsDuringAReportIsNeitherHeldNorCrashed) {
    testsupport::TlsServer server(trusted);
    ASSERT_TRUE(server.Ready());
    const std::vector<std::string> env = {"QUILLON_REPORT_HOST=127.0.0.1:" + std::to_string(server.Port()),
                                          "QUILLON_REPORT_CA_FILE=" + trusted.certFile,
                                          "XDG_CONFIG_HOME=" + (dir / "config")};

    // The server never answers: after the grace time (virtual) the report is cancelled.
    server.HoldAnswers(true);
    const std::string go = dir / "go";
    std::thread release([&] {
        if (server.WaitForRequests(1, 10000)) testsupport::WriteFile(go, "");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(testsupport::RunProgram(REPORT_EXIT_PROBE, {"virtual", go}, env, 20000), 0);
    release.join();
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

    // The server answers: a program that ends right after the start still delivers the report.
    server.HoldAnswers(false);
    EXPECT_EQ(testsupport::RunProgram(REPORT_EXIT_PROBE, {"real"}, env, 20000), 0);
    EXPECT_EQ(server.Requests().size(), 2u);
}

}  // namespace
