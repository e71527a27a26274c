// Command bytes, frames, reply parsing and result mapping, against a scripted channel.
#include <gtest/gtest.h>

#include <cstring>

#include "devlib/commands.h"
#include "devlib/library.h"
#include "platform/clock.h"
#include "tests/devlib/test_channel.h"

using namespace velmora;
using testsupport::Bytes;
using testsupport::TestChannel;

namespace {

TEST(DataFrame, BothFamiliesByteForByte) {
    std::vector<uint8_t> frame;
    const uint8_t older[4] = {0x1B, 0x69, 0x73, 0x6D};
    const auto data = Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(BuildDataFrame(older, data.data(), 10, &frame), 22);
    EXPECT_EQ(frame, Bytes({0x00, 0x00, 0x00, 0x12, 0x1B, 0x69, 0x73, 0x6D, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));

    const uint8_t closeFile[4] = {0x05, 0x20, 0x66, 0x63};
    EXPECT_EQ(BuildDataFrame(closeFile, nullptr, 0, &frame), 8);
    EXPECT_EQ(frame, Bytes({0x01, 0x00, 0x04, 0x00, 0x05, 0x20, 0x66, 0x63}));

    const uint8_t unknown[4] = {0x06, 0, 0, 0};
    EXPECT_EQ(BuildDataFrame(unknown, nullptr, 0, &frame), -1);
}

TEST(DataFrame, ByteSumWrapsAt32Bits) {
    const auto abc = Bytes({0x61, 0x62, 0x63});
    EXPECT_EQ(ByteSum(abc.data(), 3), 0x126u);
    std::vector<uint8_t> big(20000000, 0xFF);
    EXPECT_EQ(ByteSum(big.data(), static_cast<uint32_t>(big.size())), 20000000u * 255u);
}

TEST(DataFrame, AppendFileDataLengthFieldAtItsLimit) {
    TestChannel ch(1160);
    std::vector<uint8_t> data(65531, 0xA5);
    ch.Reply(1);
    EXPECT_EQ(ch.AppendFileData(65531, data.data()), 1);
    ASSERT_EQ(ch.sent.size(), 1u);
    const auto& f = ch.sent[0].bytes;
    ASSERT_EQ(f.size(), 65539u);
    EXPECT_EQ(f[2], 0xFF);
    EXPECT_EQ(f[3], 0xFF);
    EXPECT_EQ(ch.writeArgs[0], std::make_pair(0, 0));
    // One byte more cannot be described by the 16-bit length field: no frame is sent.
    std::vector<uint8_t> more(65532, 0);
    EXPECT_EQ(ch.AppendFileData(65532, more.data()), -4);
    EXPECT_EQ(ch.sent.size(), 1u);
}

TEST(Queries, OlderStatusChecksumAcceptedOrRejected) {
    std::vector<uint8_t> data(30);
    for (int i = 0; i < 30; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    data[0] = 0xC0;  // stats 0xC001: security active and locked
    data[25] = 0;
    TestChannel ch(640);
    ch.OlderPayload(data);
    DeviceStatus s{};
    EXPECT_EQ(ch.GetDeviceStatus(&s), 1);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x1B, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ch.sent[0].bRequest, 0);
    EXPECT_EQ(ch.sent[0].replyLen, 30);
    EXPECT_EQ(+s.stats, (0xC0 << 8) | data[1]);
    EXPECT_EQ(+s.error, data[4] << 8 | data[5]);
    EXPECT_EQ(+s.akku, data[18]);
    EXPECT_EQ(+s.userPrinerCounter, data[26] << 8 | data[27]);

    for (int i : {0, 13, 29}) {
        SCOPED_TRACE(i);
        std::vector<uint8_t> reply = data;
        uint32_t sum = ByteSum(reply.data(), 30);
        reply[i] ^= 0x01;
        for (int sh = 24; sh >= 0; sh -= 8) reply.push_back(static_cast<uint8_t>(sum >> sh));
        ch.Payload(reply);
        DeviceStatus untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        EXPECT_EQ(ch.GetDeviceStatus(&untouched), -3);
        EXPECT_EQ(+untouched.stats, 0x5A5A);
    }
}

TEST(Queries, NewerStatusFieldsComeFromTheirReplyBytes) {
    std::vector<uint8_t> r(30);
    for (int i = 0; i < 30; ++i) r[i] = static_cast<uint8_t>(0x40 + i);
    TestChannel ch(1160);
    ch.Payload(r);
    DeviceStatus s{};
    ASSERT_EQ(ch.GetDeviceStatus(&s), 1);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x05, 0x3F, 0x20, 0x53, 0x00, 0x00}));
    EXPECT_EQ(+s.Busy, 0x40);
    EXPECT_EQ(+s.stats, 0x4342);
    EXPECT_EQ(+s.error, 0x4544);
    EXPECT_EQ(+s.userPrinerCounter, 0x4746);
    EXPECT_EQ(+s.printCounter, 0x48);
    EXPECT_EQ(+s.akku, 0x49);
    EXPECT_EQ(+s.phLevel, 0x4A);
    EXPECT_EQ(+s.unknown20, 0x4B);
    EXPECT_EQ(+s.storedImages, 0x4D);
    EXPECT_EQ(+s.corError, 0x4F4E);
    EXPECT_EQ(+s.warning, 0x5352);
    EXPECT_EQ(+s.unknown3, 0x5B);
    EXPECT_EQ(+s.unknown29, 0x5A);
}

TEST(Queries, TransportResultsMapToLibraryCodes) {
    struct Case {
        int transact;
        int expected;
    } cases[] = {{-1, -1}, {-2, -3}, {-3, -2}, {-4, -4}, {0, 1}, {-7, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transact);
        EXPECT_EQ(MapTransactResult(c.transact), c.expected);
        TestChannel ch(1160);
        ch.Reply(c.transact);
        DeviceStatus s;
        std::memset(&s, 0x33, sizeof s);
        EXPECT_EQ(ch.GetDeviceStatus(&s), c.expected);
        EXPECT_EQ(+s.stats, 0x3333);  // a transport result of 0 leaves the record as it was
    }
}

TEST(Queries, FamilyAndModelRules) {
    TestChannel none(0);
    SFDeviceSensors sensors;
    DeviceStatus status;
    EXPECT_EQ(none.GetSFDeviceSensors(&sensors), -5);
    EXPECT_EQ(none.GetDeviceStatus(&status), -1);

    TestChannel m640(640);
    FileSystemInfo fs;
    SFDeviceStatisticV2 stat;
    SFDeviceTestfunction tf;
    uint8_t block[4096];
    EXPECT_EQ(m640.GetFileSystemInfo(0, &fs), -12);
    EXPECT_EQ(m640.GetSFDeviceStatisticV2(&stat), -12);
    EXPECT_EQ(m640.GetSFDeviceTestfunction(&tf), -12);
    EXPECT_EQ(m640.GetSFDeviceUpdateData(0, block), -12);
    EXPECT_EQ(m640.CreateFileOnSDCard(3, "abc"), -12);
    EXPECT_TRUE(m640.sent.empty());

    TestChannel m660(660);
    SFPrintHeadData ph;
    EXPECT_EQ(m660.GetSFPrintHeadData(&ph), -12);
    EXPECT_EQ(m660.AppendFileData(1, block), -12);
    EXPECT_EQ(m660.CloseFile(), -12);
    EXPECT_TRUE(m660.sent.empty());
    m660.Payload(std::vector<uint8_t>(64, 'a'));
    EXPECT_EQ(m660.GetFileSystemInfo(0, &fs), -3);  // only model 1160 answers with a file list
    EXPECT_EQ(m660.sent.size(), 1u);

    TestChannel m1160(1160);
    EXPECT_EQ(m1160.SendUpdateMode(0), -12);
    EXPECT_TRUE(m1160.sent.empty());

    TestChannel m610(610);
    m610.OlderPayload(std::vector<uint8_t>(26, 1));
    EXPECT_EQ(m610.GetSFPrintHeadData(&ph), -3);
    EXPECT_EQ(m610.sent[0].bytes, Bytes({0x1B, 0x69, 0x44, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(m610.sent[0].bRequest, 24);
    m610.Reply(0);
    EXPECT_EQ(m610.GetSFPrintHeadData(&ph), -12);  // no answer data: not served
}

TEST(Queries, LockFlagStopsTheLockCheckedOperations) {
    TestChannel ch(1160);
    ch.libraryFlag = 1;
    SFModuleStatus ms;
    SFPrintHeadData ph;
    uint8_t block[4096];
    EXPECT_EQ(ch.GetSFModuleStatus(&ms), -10);
    EXPECT_EQ(ch.GetSFPrintHeadData(&ph), -10);
    EXPECT_EQ(ch.GetSFDeviceUpdateData(1, block), -10);
    EXPECT_EQ(ch.ActivateSFModuleMode(1), -10);
    EXPECT_EQ(ch.SendUpdateMode(1), -10);
    EXPECT_EQ(ch.SetSFDeviceUpdateData(block, MakeUpdateDataHeader(2, 350, 0, 0x400000, 4)), -10);
    EXPECT_TRUE(ch.sent.empty());
    ch.Payload(std::vector<uint8_t>(30));
    DeviceStatus s;
    EXPECT_EQ(ch.GetDeviceStatus(&s), 1);  // not lock-checked
}

TEST(Queries, OlderParameterFontSizeCorrection) {
    std::vector<uint8_t> data(180, 0x20);
    data[84] = 7;
    data[85] = 0x44;
    data[136] = 12;
    data[137] = 0x02;
    TestChannel ch(640);
    ch.OlderPayload(data);
    DeviceParameter p{};
    ASSERT_EQ(ch.GetDeviceParameter(&p), 1);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x1B, 0x70, 0x3F, 0x20, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(+p.font1Size, 16);
    EXPECT_EQ(+p.font1Flags, 0x01);
    EXPECT_EQ(+p.font2Size, 12);
    EXPECT_EQ(+p.font2Flags, 0x02);
}

TEST(Queries, NewerParameterAndFileEntry) {
    std::vector<uint8_t> r(64);
    for (int i = 0; i < 64; ++i) r[i] = static_cast<uint8_t>(i);
    r[60] = 3;  // a small font size is not corrected on this family
    TestChannel ch(1160);
    ch.Payload(r);
    DeviceParameter p{};
    ASSERT_EQ(ch.GetDeviceParameter(&p), 1);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x05, 0x3F, 0x20, 0x70, 0, 0}));
    EXPECT_EQ(+p.printSeq, 2);
    EXPECT_EQ(+p.printDir, 3);
    EXPECT_EQ(+p.effects, 0x0405);  // big-endian on this family too
    EXPECT_EQ(+p.signals, 0x0706);
    EXPECT_EQ(+p.encoder, 62);
    EXPECT_EQ(+p.speed, 63);
    EXPECT_EQ(+p.font1Name[0], 10);
    EXPECT_EQ(+p.unknown172, 10);
    EXPECT_EQ(+p.font1Size, 3);
    EXPECT_EQ(+p.spitting, 9);

    std::vector<uint8_t> f(64, 0);
    f[0] = 0x34;
    f[1] = 0x12;
    std::memcpy(f.data() + 4, "LOGO.BMP", 8);
    ch.Payload(f);
    FileSystemInfo info{};
    ASSERT_EQ(ch.GetFileSystemInfo(0x0102, &info), 1);
    EXPECT_EQ(ch.sent[1].bytes, Bytes({0x05, 0x3F, 0x20, 0x44, 0x02, 0x01}));
    EXPECT_EQ(+info.unknown0, 0x1234);
    EXPECT_STREQ(info.fileName, "LOGO.BMP");
}

TEST(Queries, ModuleStatusOfTheNewerFamily) {
    std::vector<uint8_t> r = Bytes({0x01, 0x00, 0x00, 0x00});
    r.insert(r.end(), 12, 0x11);
    TestChannel ch(1160);
    ch.Payload(r);
    SFModuleStatus s;
    std::memset(&s, 0x77, sizeof s);
    ASSERT_EQ(ch.GetSFModuleStatus(&s), 1);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x05, 0x3F, 0x69, 0x69, 0, 0}));
    EXPECT_EQ(ch.sent[0].replyLen, 16);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&s);
    EXPECT_EQ(+s.format, 0);
    EXPECT_EQ(+s.active, 1);
    for (int i = 4; i < 18; ++i) EXPECT_EQ(b[i], 0) << i;
    for (int i = 18; i < 30; ++i) EXPECT_EQ(b[i], 0x11) << i;
}

TEST(Queries, SensorsTestfunctionPrintHeadAndStatistic) {
    std::vector<uint8_t> r(22);
    for (int i = 0; i < 22; ++i) r[i] = static_cast<uint8_t>(0xA0 + i);
    TestChannel ch(1160);
    ch.Payload(r);
    SFDeviceSensors s{};
    ASSERT_EQ(ch.GetSFDeviceSensors(&s), 1);
    EXPECT_EQ(+s.esp32Indicator, 0xA0 + 13);
    EXPECT_EQ(+s.unknown0, 0xA0 + 10);
    EXPECT_EQ(+s.unknown10, (0xA3 << 8) | 0xA2);

    std::vector<uint8_t> t(18);
    for (int i = 0; i < 18; ++i) t[i] = static_cast<uint8_t>(i);
    ch.Payload(t);
    SFDeviceTestfunction tf{};
    ASSERT_EQ(ch.GetSFDeviceTestfunction(&tf), 1);
    EXPECT_EQ(+tf.state, 0);
    EXPECT_EQ(+tf.unknown0, 1);
    EXPECT_EQ(+tf.unknown4, 0x0706);
    EXPECT_EQ(+tf.unknown12[5], 17);

    std::vector<uint8_t> p(26);
    for (int i = 0; i < 26; ++i) p[i] = static_cast<uint8_t>(i);
    ch.Payload(p);
    SFPrintHeadData ph{};
    ASSERT_EQ(ch.GetSFPrintHeadData(&ph), 1);
    EXPECT_EQ(+ph.printCartridge, 2);
    EXPECT_EQ(+ph.unknown7, 0x0B0A0908u);
    EXPECT_EQ(+ph.unknown14, 0x0403);
    EXPECT_EQ(+ph.unknown16[9], 25);

    std::vector<uint8_t> st(998, 0);
    st[0] = 0x10;
    st[1] = 0x27;
    st[4] = 12;
    st[5] = 7;
    st[6] = 0xFF;
    st[990] = 0x05;
    ch.Payload(st);
    SFDeviceStatisticV2 stat{};
    ASSERT_EQ(ch.GetSFDeviceStatisticV2(&stat), 1);
    EXPECT_EQ(+stat.printCounter, 10000u);
    EXPECT_EQ(+stat.errors[1], 7);
    EXPECT_EQ(+stat.options[0], 5);
}

// Every query given one reply byte too few: the reply is refused and the caller's record
// keeps every byte it had.
TEST(Queries, ReplyOneByteShortIsRefusedAndTheRecordKept) {
    struct Case {
        const char* name;
        uint16_t model;
        size_t replyBytes;  // what a whole reply holds (older family: with the checksum)
        size_t recordSize;
        int (*query)(TestChannel&, uint8_t*);
    };
    const Case cases[] = {
        {"newer status", 1160, 30, sizeof(DeviceStatus),
         [](TestChannel& c, uint8_t* r) { return c.GetDeviceStatus(reinterpret_cast<DeviceStatus*>(r)); }},
        {"file entry", 1160, 64, sizeof(FileSystemInfo),
         [](TestChannel& c, uint8_t* r) { return c.GetFileSystemInfo(0, reinterpret_cast<FileSystemInfo*>(r)); }},
        {"newer parameters", 1160, 64, sizeof(DeviceParameter),
         [](TestChannel& c, uint8_t* r) { return c.GetDeviceParameter(reinterpret_cast<DeviceParameter*>(r)); }},
        {"newer module status", 1160, 16, sizeof(SFModuleStatus),
         [](TestChannel& c, uint8_t* r) { return c.GetSFModuleStatus(reinterpret_cast<SFModuleStatus*>(r)); }},
        {"newer sensors", 660, 22, sizeof(SFDeviceSensors),
         [](TestChannel& c, uint8_t* r) { return c.GetSFDeviceSensors(reinterpret_cast<SFDeviceSensors*>(r)); }},
        {"test function", 1160, 18, sizeof(SFDeviceTestfunction),
         [](TestChannel& c, uint8_t* r) {
             return c.GetSFDeviceTestfunction(reinterpret_cast<SFDeviceTestfunction*>(r));
         }},
        {"statistic", 1160, 998, sizeof(SFDeviceStatisticV2),
         [](TestChannel& c, uint8_t* r) {
             return c.GetSFDeviceStatisticV2(reinterpret_cast<SFDeviceStatisticV2*>(r));
         }},
        {"print head", 1160, 26, sizeof(SFPrintHeadData),
         [](TestChannel& c, uint8_t* r) { return c.GetSFPrintHeadData(reinterpret_cast<SFPrintHeadData*>(r)); }},
        {"update-data page", 1160, kUpdateDataBlockSize, kUpdateDataBlockSize,
         [](TestChannel& c, uint8_t* r) { return c.GetSFDeviceUpdateData(3, r); }},
        {"older status", 640, 34, sizeof(DeviceStatus),
         [](TestChannel& c, uint8_t* r) { return c.GetDeviceStatus(reinterpret_cast<DeviceStatus*>(r)); }},
        {"older parameters", 610, 184, sizeof(DeviceParameter),
         [](TestChannel& c, uint8_t* r) { return c.GetDeviceParameter(reinterpret_cast<DeviceParameter*>(r)); }},
        {"older module status", 640, 34, sizeof(SFModuleStatus),
         [](TestChannel& c, uint8_t* r) { return c.GetSFModuleStatus(reinterpret_cast<SFModuleStatus*>(r)); }},
        {"older sensors", 640, 26, sizeof(SFDeviceSensors),
         [](TestChannel& c, uint8_t* r) { return c.GetSFDeviceSensors(reinterpret_cast<SFDeviceSensors*>(r)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The whole reply is accepted (the older family's with a matching checksum)...
        TestChannel ch(c.model);
        std::vector<uint8_t> whole(c.replyBytes, 0x21);
        if (FamilyOf(c.model) == ModelFamily::Older)
            ch.OlderPayload(std::vector<uint8_t>(c.replyBytes - 4, 0x21));
        else
            ch.Payload(whole);
        std::vector<uint8_t> record(c.recordSize, 0xA5);
        EXPECT_EQ(c.query(ch, record.data()), 1);
        // ...and one byte less is not.
        std::vector<uint8_t> shortReply(c.replyBytes - 1, 0x21);
        ch.Payload(shortReply);
        std::fill(record.begin(), record.end(), 0xA5);
        EXPECT_EQ(c.query(ch, record.data()), -3);
        EXPECT_EQ(record, std::vector<uint8_t>(c.recordSize, 0xA5));
    }
    // A channel that reports a reply but hands over no bytes at all.
    TestChannel ch(1160);
    ch.Reply(4096);
    std::vector<uint8_t> page(kUpdateDataBlockSize, 0xA5);
    EXPECT_EQ(ch.GetSFDeviceUpdateData(0, page.data()), -3);
    EXPECT_EQ(page, std::vector<uint8_t>(kUpdateDataBlockSize, 0xA5));
}

TEST(Identity, TextAndFixedReplies) {
    auto text = [](const char* t, int v22, int v23) {
        std::vector<uint8_t> r(32, 0);
        std::memcpy(r.data(), t, std::strlen(t));
        std::memcpy(r.data() + 16, "A1B2C3", 6);
        r[22] = static_cast<uint8_t>(v22);
        r[23] = static_cast<uint8_t>(v23);
        return r;
    };
    uint16_t model = 0, variant = 0, version = 0;
    uint8_t app = 9;
    char serial[7];
    auto r = text("1160-002-  ", 0x05, 0x02);
    ASSERT_EQ(ParseIdentityText(r.data(), 32, &model, &variant, &version, &app, serial), 1);
    EXPECT_EQ(model, 1160);
    EXPECT_EQ(variant, 2);
    EXPECT_EQ(app, 1);
    EXPECT_EQ(version, 205);
    EXPECT_STREQ(serial, "A1B2C3");
    r = text("1160-002-BW", 0x50, 0x03);
    ASSERT_EQ(ParseIdentityText(r.data(), 32, &model, &variant, &version, &app, serial), 1);
    EXPECT_EQ(app, 0);
    EXPECT_EQ(version, 350);
    r = text("660-0012-  ", 0, 0);
    ASSERT_EQ(ParseIdentityText(r.data(), 32, &model, &variant, &version, &app, serial), 1);
    EXPECT_EQ(model, 660);
    EXPECT_EQ(variant, 1);  // at most three digits
    // No '-' among the first 16 bytes, or a short reply: rejected without reading beyond it.
    r = text("1160002", 0, 0);
    EXPECT_EQ(ParseIdentityText(r.data(), 32, &model, &variant, &version, &app, serial), -1);
    EXPECT_EQ(ParseIdentityText(r.data(), 20, &model, &variant, &version, &app, serial), -1);

    // A model text but no second '-' within reach: rejected, and nothing is changed on the way.
    r = text("9999-002", 0x99, 0x99);
    model = 1;
    variant = 2;
    version = 3;
    app = 4;
    std::strcpy(serial, "KEEPME");
    EXPECT_EQ(ParseIdentityText(r.data(), 32, &model, &variant, &version, &app, serial), -1);
    EXPECT_EQ(model, 1);
    EXPECT_EQ(variant, 2);
    EXPECT_EQ(version, 3);
    EXPECT_EQ(app, 4);
    EXPECT_STREQ(serial, "KEEPME");

    std::vector<uint8_t> fixed(24, 0);
    fixed[2] = 0x04;
    fixed[3] = 0x88;  // 1160
    fixed[5] = 3;
    std::memcpy(fixed.data() + 6, "Z9Y8X7", 6);
    fixed[12] = 0x03;
    fixed[13] = 0x50;
    uint32_t sum = ByteSum(fixed.data(), 24);
    for (int s = 24; s >= 0; s -= 8) fixed.push_back(static_cast<uint8_t>(sum >> s));
    app = 0;
    ASSERT_EQ(ParseIdentityReply(fixed.data(), 28, &model, &variant, &version, &app, serial), 1);
    EXPECT_EQ(model, 1160);
    EXPECT_EQ(variant, 3);
    EXPECT_EQ(version, 350);
    EXPECT_EQ(app, 1);
    EXPECT_STREQ(serial, "Z9Y8X7");
    fixed[7] ^= 1;
    EXPECT_EQ(ParseIdentityReply(fixed.data(), 28, &model, &variant, &version, &app, serial), -1);
    EXPECT_EQ(BcdVersion(0x0185), 185);
    EXPECT_EQ(BcdVersion(0x12A0), 12);
}

TEST(UpdateData, NewerFrameForModel1160) {
    TestChannel ch(1160);
    ch.Reply(1);
    const auto data = Bytes({0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(ch.SetSFDeviceUpdateData(data.data(), MakeUpdateDataHeader(2, 350, 1, 0x00401000, 4)), 1);
    ASSERT_EQ(ch.sent.size(), 1u);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x01, 0x00, 0x18, 0x00, 0x05, 0x20, 0x69, 0x75, 0x5E, 0x01, 0x01, 0x00, 0x02, 0x00,
                                       0x00, 0x00, 0x00, 0x10, 0x40, 0x00, 0x04, 0x00, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(ch.writeArgs[0], std::make_pair(0, 0));
}

TEST(UpdateData, OlderFamilyModeReconnectAndDownload) {
    platform::VirtualClock clock;
    platform::ScopedClock use(clock);
    TestChannel ch(640);
    ch.opened = 1;
    ch.Reply(1);  // SendUpdateMode acknowledged
    ch.openResult = 0;  // the device does not come back: ten tries, then the download anyway
    const auto data = Bytes({1, 2, 3, 4});
    EXPECT_EQ(ch.SetSFDeviceUpdateData(data.data(), MakeUpdateDataHeader(2, 350, 1, 0x00401000, 4)), 1);
    ASSERT_EQ(ch.sent.size(), 1u);
    EXPECT_EQ(ch.sent[0].bytes, Bytes({0x00, 0x00, 0x00, 0x14, 0x1B, 0x69, 0x55, 0x41, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(ch.closes, 1);
    EXPECT_EQ(ch.opens.size(), 10u);
    EXPECT_EQ(ch.opens[0], "(null)");
    EXPECT_EQ(clock.SleptMs(), 11000u);
    ASSERT_EQ(ch.downloads.size(), 1u);
    const auto& frame = ch.downloads[0];
    ASSERT_EQ(frame.size(), 4u + 4 + 16 + 4 + 4);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 4, frame.begin() + 24),
              Bytes({0x1B, 0x69, 0x55, 0x64, 0x00, 0x02, 0x01, 0x5E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x10, 0x00,
                     0x00, 0x00, 0x00, 0x04}));

    ch.downloadResult = 0;
    ch.openResult = 1;
    ch.Reply(1);
    EXPECT_EQ(ch.SetSFDeviceUpdateData(data.data(), MakeUpdateDataHeader(2, 350, 1, 0x00401000, 4)), -6);
    EXPECT_EQ(ch.opens.size(), 11u);  // the first try succeeded

    ch.Reply(-2);  // update mode not acknowledged: no download
    EXPECT_EQ(ch.SetSFDeviceUpdateData(data.data(), MakeUpdateDataHeader(2, 350, 1, 0x00401000, 4)), -2);
    EXPECT_EQ(ch.downloads.size(), 2u);
}

TEST(WaitWhileBusy, ReadyBusyAndFailingStatus) {
    platform::VirtualClock clock;
    platform::ScopedClock use(clock);
    TestChannel ch(1160);
    std::vector<uint8_t> busy(30, 0), ready(30, 0);
    busy[0] = 1;
    ch.Payload(busy);
    ch.Payload(busy);
    ch.Payload(ready);
    EXPECT_EQ(ch.WaitWhileBusy(), 1);
    EXPECT_EQ(ch.sent.size(), 3u);

    // Busy for ever, or no answer at all: both end within the budget.
    TestChannel stuck(1160);
    for (int i = 0; i < 100; ++i) stuck.Payload(busy);
    EXPECT_EQ(stuck.WaitWhileBusy(), 0);
    EXPECT_EQ(stuck.sent.size(), 50u);
    TestChannel silent(1160);
    EXPECT_EQ(silent.WaitWhileBusy(), 0);
    EXPECT_EQ(silent.sent.size(), 50u);
}

}  // namespace
