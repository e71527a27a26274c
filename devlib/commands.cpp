// Command bytes, data frames, reply checks and record parsers of both model families.
#include "devlib/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "devlib/library.h"
#include "platform/clock.h"
#include "transport/device_communication.h"

namespace velmora {
namespace {

// Request codes of the driver route (the COM route ignores them).
constexpr int kReqStatus = 0;
constexpr int kReqParameter = 1;
constexpr int kReqSensors = 20;
constexpr int kReqUpdateData = 22;
constexpr int kReqModuleStatus = 23;
constexpr int kReqPrintHead = 24;
constexpr int kReqNone = -1;

uint16_t BE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint16_t LE16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }
uint32_t BE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t LE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// An older-family reply holds n data bytes and, big-endian, their ByteSum.
bool OlderReplyValid(const std::vector<uint8_t>& reply, int n) {
    if (static_cast<int>(reply.size()) != n + 4) return false;
    return ByteSum(reply.data(), static_cast<uint32_t>(n)) == BE32(reply.data() + n);
}

// The result of a query whose reply the parser judged: 1 accepted, -3 rejected.
int Judged(bool accepted) { return accepted ? 1 : -3; }

struct Query {
    int request;
    uint8_t cmd[12];
    int cmdLen;
    int replyLen;
};

Query Older(int request, std::initializer_list<uint8_t> head, int replyLen) {
    Query q{request, {}, 12, replyLen};
    std::copy(head.begin(), head.end(), q.cmd);
    return q;
}

Query Newer(int request, uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f, int replyLen) {
    return Query{request, {a, b, c, d, e, f}, 6, replyLen};
}

}  // namespace

ModelFamily FamilyOf(uint16_t model) {
    switch (model) {
        case 610:
        case 640:
            return ModelFamily::Older;
        case 660:
        case 1160:
            return ModelFamily::Newer;
        default:
            return ModelFamily::None;
    }
}

uint32_t ByteSum(const uint8_t* bytes, uint32_t count) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

int BuildDataFrame(const uint8_t* command, const uint8_t* data, uint32_t n, std::vector<uint8_t>* frame) {
    if (!command || !frame || (n > 0 && !data)) return -1;
    try {
        if (command[0] == 0x1B) {
            if (n > 0xFFFFFFFFu - 12) return -1;
            const uint32_t len = n + 8;
            frame->assign(n + 12, 0);
            uint8_t* f = frame->data();
            f[0] = static_cast<uint8_t>(len >> 24);
            f[1] = static_cast<uint8_t>(len >> 16);
            f[2] = static_cast<uint8_t>(len >> 8);
            f[3] = static_cast<uint8_t>(len);
            std::memcpy(f + 4, command, 4);
            if (n) std::memcpy(f + 8, data, n);
            const uint32_t sum = ByteSum(data, n);
            f[n + 8] = static_cast<uint8_t>(sum >> 24);
            f[n + 9] = static_cast<uint8_t>(sum >> 16);
            f[n + 10] = static_cast<uint8_t>(sum >> 8);
            f[n + 11] = static_cast<uint8_t>(sum);
            return static_cast<int>(n + 12);
        }
        if (command[0] == 0x05) {
            // The length field is 16 bits wide: a larger frame would tell the device a wrong
            // length, so it is not built.
            if (n > 0xFFFF - 4) return -1;
            const uint32_t len = n + 4;
            frame->assign(n + 8, 0);
            uint8_t* f = frame->data();
            f[0] = 0x01;
            f[1] = 0x00;
            f[2] = static_cast<uint8_t>(len);
            f[3] = static_cast<uint8_t>(len >> 8);
            std::memcpy(f + 4, command, 4);
            if (n) std::memcpy(f + 8, data, n);
            return static_cast<int>(n + 8);
        }
    } catch (const std::bad_alloc&) {
        frame->clear();
    }
    return -1;
}

uint16_t BcdVersion(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    unsigned v = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<unsigned>(*p - '0');
    return static_cast<uint16_t>(v);
}

int ParseIdentityReply(const uint8_t* reply, int len, uint16_t* model, uint16_t* variant, uint16_t* version,
                       uint8_t* runsApplication, char* serial) {
    if (!reply || len < 28) return -1;
    if (ByteSum(reply, 24) != BE32(reply + 24)) return -1;
    *model = BE16(reply + 2);
    *variant = BE16(reply + 4);
    std::memcpy(serial, reply + 6, 6);
    serial[6] = '\0';
    *version = BcdVersion(BE16(reply + 12));
    *runsApplication = 1;
    return 1;
}

int ParseIdentityText(const uint8_t* reply, int len, uint16_t* model, uint16_t* variant, uint16_t* version,
                      uint8_t* runsApplication, char* serial) {
    if (!reply || len < 32) return -1;
    int dash1 = -1;
    for (int i = 0; i < 16; ++i)
        if (reply[i] == '-') {
            dash1 = i;
            break;
        }
    if (dash1 < 0) return -1;  // malformed: no model text
    int dash2 = -1;
    for (int i = dash1 + 1; i < dash1 + 17 && i < len; ++i)
        if (reply[i] == '-') {
            dash2 = i;
            break;
        }
    // A rejected text changes none of the fields.
    if (dash2 < 0) return -1;  // malformed: no end of the variant
    auto number = [&](int from, int to) {
        unsigned v = 0;
        for (int i = from; i < to && reply[i] >= '0' && reply[i] <= '9'; ++i) v = v * 10 + (reply[i] - '0');
        return static_cast<uint16_t>(v);
    };
    *model = number(0, dash1);
    *variant = number(dash1 + 1, std::min(dash2, dash1 + 4));
    *runsApplication = (dash2 + 2 < len && reply[dash2 + 1] == ' ' && reply[dash2 + 2] == ' ') ? 1 : 0;
    std::memcpy(serial, reply + 16, 6);
    serial[6] = '\0';
    *version = BcdVersion(static_cast<uint16_t>(reply[23] << 8 | reply[22]));
    return 1;
}

int MapTransactResult(int transactResult) {
    switch (transactResult) {
        case -1:
            return -1;
        case -2:
            return -3;
        case -3:
            return -2;
        case -4:
            return -4;
        default:
            return 1;
    }
}

// ---------------------------------------------------------------------------------------
// Queries

int CDeviceCommunication::GetDeviceStatus(DeviceStatus* status) {
    int result;
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None) {
        result = -1;
    } else {
        const Query q = family == ModelFamily::Older
                            ? Older(kReqStatus, {0x1B, 0x3F}, 30)
                            : Newer(kReqStatus, 0x05, 0x3F, 0x20, 0x53, 0x00, 0x00, 30);
        std::vector<uint8_t> reply;
        const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
        if (t > 0) {
            const uint8_t* r = reply.data();
            if (family == ModelFamily::Older) {
                const bool ok = OlderReplyValid(reply, 30);
                if (ok) {
                    DeviceStatus s{};
                    s.stats = BE16(r + 0);
                    s.unknown2 = r[2];
                    s.unknown3 = r[3];
                    s.error = BE16(r + 4);
                    s.corError = BE16(r + 6);
                    s.unknown8 = BE16(r + 8);
                    s.warning = BE16(r + 10);
                    s.unknown12 = BE16(r + 12);
                    s.storedImages = r[14];
                    s.unknown15 = r[15];
                    s.unknown16 = r[16];
                    s.unknown17 = r[17];
                    s.akku = r[18];
                    s.phLevel = r[19];
                    s.unknown20 = BE16(r + 20);
                    s.unknown22 = BE16(r + 22);
                    s.printCounter = r[24];
                    s.Busy = r[25];
                    s.userPrinerCounter = BE16(r + 26);
                    s.unknown28 = r[28];
                    s.unknown29 = r[29];
                    *status = s;
                }
                result = Judged(ok);
            } else {
                const bool ok = reply.size() >= 30;
                if (ok) {
                    DeviceStatus s{};
                    s.stats = LE16(r + 2);
                    s.unknown2 = r[1];
                    s.unknown3 = r[27];
                    s.error = LE16(r + 4);
                    s.corError = LE16(r + 14);
                    s.unknown8 = LE16(r + 16);
                    s.warning = LE16(r + 18);
                    s.unknown12 = LE16(r + 20);
                    s.storedImages = r[13];
                    s.unknown15 = r[22];
                    s.unknown16 = r[23];
                    s.unknown17 = r[24];
                    s.akku = r[9];
                    s.phLevel = r[10];
                    s.unknown20 = r[11];
                    s.unknown22 = r[12];
                    s.printCounter = r[8];
                    s.Busy = r[0];
                    s.userPrinerCounter = LE16(r + 6);
                    s.unknown28 = r[25];
                    s.unknown29 = r[26];
                    *status = s;
                }
                result = Judged(ok);
            }
        } else {
            result = MapTransactResult(t);
        }
    }
    if (char* log = LogEntry()) LogPrintf(log, "CDeviceCommunication::GetDeviceStatus / returnValue: %d", result);
    return result;
}

int CDeviceCommunication::GetFileSystemInfo(int fileSystemFileIndex, FileSystemInfo* info) {
    if (FamilyOf(model) != ModelFamily::Newer) return -12;
    const Query q = Newer(kReqNone, 0x05, 0x3F, 0x20, 0x44, static_cast<uint8_t>(fileSystemFileIndex),
                          static_cast<uint8_t>(fileSystemFileIndex >> 8), 64);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    if (model != 1160 || reply.size() < 64) return -3;
    const uint8_t* r = reply.data();
    FileSystemInfo f{};
    f.unknown0 = LE16(r);
    f.unknown2 = r[2];
    f.unknown3 = r[3];
    std::memcpy(f.fileName, r + 4, 50);
    std::memcpy(f.unknown54, r + 54, 10);
    *info = f;
    return 1;
}

int CDeviceCommunication::GetDeviceParameter(DeviceParameter* parameter) {
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None) return -12;
    const Query q = family == ModelFamily::Older ? Older(kReqParameter, {0x1B, 0x70, 0x3F, 0x20}, 180)
                                                 : Newer(kReqNone, 0x05, 0x3F, 0x20, 0x70, 0x00, 0x00, 64);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    const uint8_t* r = reply.data();
    DeviceParameter p{};
    if (family == ModelFamily::Older) {
        if (!OlderReplyValid(reply, 180)) return -3;
        p.unknown0 = r[0];
        p.unknown1 = r[1];
        p.printSeq = BE16(r + 2);
        p.printDir = BE16(r + 4);
        p.effects = BE16(r + 6);
        p.signals = BE16(r + 8);
        p.function = BE16(r + 10);
        p.encoder = BE16(r + 12);
        p.speed = BE16(r + 14);
        p.path = BE16(r + 16);
        for (int i = 0; i < 4; ++i) p.forrun[i] = BE16(r + 18 + 2 * i);
        for (int i = 0; i < 4; ++i) p.printDelay[i] = BE16(r + 26 + 2 * i);
        std::memcpy(p.font1Name, r + 34, 50);
        p.font1Size = r[84];
        p.font1Flags = r[85];
        std::memcpy(p.font2Name, r + 86, 50);
        p.font2Size = r[136];
        p.font2Flags = r[137];
        std::memcpy(p.filename, r + 138, 32);
        p.unknown170 = r[170];
        p.spitting = r[171];
        p.unknown172 = r[172];
        std::memcpy(p.unknown173, r + 173, 7);
        // Sizes the device cannot print with fall back to 16 points, plain.
        if (p.font1Size < 8 || p.font1Size > 200) {
            p.font1Size = 16;
            p.font1Flags = 0x01;
        }
        if (p.font2Size < 8 || p.font2Size > 200) {
            p.font2Size = 16;
            p.font2Flags = 0x01;
        }
    } else {
        if (reply.size() < 64) return -3;
        p.unknown0 = r[0];
        p.unknown1 = r[1];
        p.printSeq = r[2];
        p.printDir = r[3];
        p.effects = BE16(r + 4);
        p.signals = LE16(r + 6);
        p.encoder = r[62];
        p.speed = r[63];
        std::memcpy(p.font1Name, r + 10, 50);
        p.font1Size = r[60];
        p.font1Flags = r[61];
        p.unknown170 = r[8];
        p.spitting = r[9];
        p.unknown172 = r[10];
    }
    *parameter = p;
    return 1;
}

int CDeviceCommunication::GetSFModuleStatus(SFModuleStatus* status) {
    if (libraryFlag == 1) return -10;
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None) return -12;
    const Query q = family == ModelFamily::Older
                        ? Older(kReqModuleStatus, {0x1B, 0x69, 0x73, 0x6D, 0x3F, 0x20}, 30)
                        : Newer(kReqModuleStatus, 0x05, 0x3F, 0x69, 0x69, 0x00, 0x00, 16);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    const uint8_t* r = reply.data();
    SFModuleStatus s{};
    if (family == ModelFamily::Older) {
        if (!OlderReplyValid(reply, 30)) return -3;
        s.format = r[0];
        s.active = r[1];
        s.transferNOKOK = r[2];
        s.kindOfUpdate = r[3];
        s.transferStatus = r[4];
        s.stateOfTestfunctionAndActuators = r[5];
        s.testfunctionLoopCounter = BE16(r + 6);
        s.testfunctionBattery = BE16(r + 8);
        s.testfunctionPHTemperature = BE16(r + 10);
        s.BWVersion = BE16(r + 12);
        s.BWSopro = BE16(r + 14);
        s.unknown16 = BE16(r + 16);
    } else {
        if (reply.size() < 16) return -3;
        s.format = r[1];
        s.active = r[0];
        s.transferNOKOK = r[2];
        s.kindOfUpdate = r[3];
        std::memcpy(s.status, r + 4, 12);
    }
    *status = s;
    return 1;
}

int CDeviceCommunication::GetSFDeviceSensors(SFDeviceSensors* sensors) {
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None) return -5;
    const Query q = family == ModelFamily::Older
                        ? Older(kReqSensors, {0x1B, 0x69, 0x54, 0x53, 0x3F, 0x20}, 22)
                        : Newer(kReqSensors, 0x05, 0x3F, 0x69, 0x73, 0x00, 0x00, 22);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    const uint8_t* r = reply.data();
    SFDeviceSensors s{};
    if (family == ModelFamily::Older) {
        if (!OlderReplyValid(reply, 22)) return -3;
        s.unknown0 = r[0];
        s.unknown1 = r[1];
        s.unknown2 = r[2];
        s.unknown3 = r[3];
        s.unknown4 = BE16(r + 4);
        s.unknown6 = BE16(r + 6);
        s.unknown8 = BE16(r + 8);
        s.unknown10 = BE16(r + 10);
        s.unknown12 = r[12];
        s.unknown13 = r[13];
        s.unknown14 = r[14];
        s.esp32Indicator = r[15];
        s.unknown16 = BE16(r + 16);
        s.unknown18 = BE16(r + 18);
        s.unknown20 = r[20];
        s.unknown21 = r[21];
    } else {
        if (reply.size() < 22) return -3;
        s.unknown0 = r[10];
        s.unknown1 = r[0];
        s.unknown2 = r[1];
        s.unknown3 = r[9];
        s.unknown4 = r[11];
        s.unknown6 = LE16(r + 14);
        s.unknown8 = LE16(r + 16);
        s.unknown10 = LE16(r + 2);
        s.unknown12 = r[18];
        s.unknown13 = r[12];
        s.unknown14 = r[8];
        s.esp32Indicator = r[13];
        s.unknown16 = LE16(r + 4);
        s.unknown18 = LE16(r + 6);
        s.unknown20 = r[19];
        s.unknown21 = r[20];
    }
    *sensors = s;
    return 1;
}

int CDeviceCommunication::GetSFDeviceTestfunction(SFDeviceTestfunction* testfunction) {
    if (FamilyOf(model) != ModelFamily::Newer) return -12;
    const Query q = Newer(kReqSensors, 0x05, 0x3F, 0x69, 0x54, 0x00, 0x00, 18);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    if (reply.size() < 18) return -3;
    const uint8_t* r = reply.data();
    SFDeviceTestfunction f{};
    f.unknown0 = r[1];
    f.state = r[0];
    f.unknown2 = r[11];
    f.unknown3 = r[10];
    f.unknown4 = LE16(r + 6);
    f.unknown6 = LE16(r + 8);
    f.unknown8 = LE16(r + 2);
    f.unknown10 = LE16(r + 4);
    std::memcpy(f.unknown12, r + 12, 6);
    *testfunction = f;
    return 1;
}

int CDeviceCommunication::GetSFDeviceStatisticV2(SFDeviceStatisticV2* statistic) {
    if (FamilyOf(model) != ModelFamily::Newer) return -12;
    const Query q = Newer(kReqNone, 0x05, 0x3F, 0x69, 0x53, 0x00, 0x00, 998);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    if (reply.size() < 998) return -3;
    const uint8_t* r = reply.data();
    auto s = std::make_unique<SFDeviceStatisticV2>();
    std::memset(s.get(), 0, sizeof *s);
    s->printCounter = LE32(r);
    std::memcpy(s->errors, r + 4, 950);
    s->unknown954 = LE16(r + 954);
    s->unknown956 = LE16(r + 956);
    std::memcpy(s->unknown958, r + 958, 32);
    std::memcpy(s->options, r + 990, 8);
    *statistic = *s;
    return 1;
}

int CDeviceCommunication::GetSFPrintHeadData(SFPrintHeadData* printHead) {
    if (libraryFlag == 1) return -10;
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None || model == 660) return -12;
    const Query q = family == ModelFamily::Older ? Older(kReqPrintHead, {0x1B, 0x69, 0x44, 0x3F}, 26)
                                                 : Newer(kReqPrintHead, 0x05, 0x3F, 0x69, 0x44, 0x00, 0x00, 26);
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t > 0) {
        // Only model 1160 answers with this layout.
        if (model != 1160 || reply.size() < 26) return -3;
        const uint8_t* r = reply.data();
        SFPrintHeadData p{};
        p.unknown0 = r[5];
        p.unknown1 = r[7];
        p.unknown2 = r[0];
        p.unknown3 = r[12];
        p.unknown4 = r[6];
        p.unknown5 = r[1];
        p.printCartridge = r[2];
        p.unknown7 = LE32(r + 8);
        p.unknown11 = r[13];
        p.unknown12 = r[14];
        p.unknown13 = r[15];
        p.unknown14 = LE16(r + 3);
        std::memcpy(p.unknown16, r + 16, 10);
        *printHead = p;
        return 1;
    }
    const int mapped = MapTransactResult(t);
    return mapped == 1 ? -12 : mapped;
}

int CDeviceCommunication::GetSFDeviceUpdateData(int block, uint8_t* data) {
    if (libraryFlag == 1) return -10;
    if (FamilyOf(model) != ModelFamily::Newer) return -12;
    const Query q = Newer(kReqUpdateData, 0x05, 0x3F, 0x69, 0x75, static_cast<uint8_t>(block),
                          static_cast<uint8_t>(block >> 8), static_cast<int>(kUpdateDataBlockSize));
    std::vector<uint8_t> reply;
    const int t = Transact(q.request, q.cmd, q.cmdLen, q.replyLen, &reply);
    if (t <= 0) return MapTransactResult(t);
    // A short page is refused like every other short record: the caller's page keeps its
    // bytes, which a read-back must not mistake for the device's.
    if (reply.size() < kUpdateDataBlockSize) return -3;
    std::memcpy(data, reply.data(), kUpdateDataBlockSize);
    return 1;
}

// ---------------------------------------------------------------------------------------
// Data frames

namespace {

int SendFrame(CDeviceCommunication& channel, const uint8_t* command, const uint8_t* data, uint32_t n,
              int delayMs) {
    std::vector<uint8_t> frame;
    const int len = BuildDataFrame(command, data, n, &frame);
    if (len < 0) return -4;
    return channel.Write(frame.data(), len, 0, delayMs);
}

}  // namespace

int CDeviceCommunication::ActivateSFModuleMode(int activate) {
    if (libraryFlag == 1) return -10;
    uint8_t data[10] = {};
    switch (FamilyOf(model)) {
        case ModelFamily::Older: {
            static const uint8_t cmd[4] = {0x1B, 0x69, 0x73, 0x6D};
            data[1] = activate != 0 ? 1 : 0;
            return SendFrame(*this, cmd, data, sizeof data, -1);
        }
        case ModelFamily::Newer: {
            static const uint8_t cmd[4] = {0x05, 0x20, 0x69, 0x61};
            data[0] = activate == 1 ? 1 : 0;
            return SendFrame(*this, cmd, data, sizeof data, -1);
        }
        default:
            return -12;
    }
}

int CDeviceCommunication::SendUpdateMode(int mode) {
    if (libraryFlag == 1) return -10;
    uint8_t data[12] = {};
    data[1] = static_cast<uint8_t>(mode);
    if (FamilyOf(model) == ModelFamily::Older) {
        static const uint8_t cmd[4] = {0x1B, 0x69, 0x55, 0x41};
        return SendFrame(*this, cmd, data, sizeof data, -1);
    }
    if (model == 660) {
        static const uint8_t cmd[4] = {0x05, 0x20, 0x69, 0x55};
        return SendFrame(*this, cmd, data, sizeof data, -1);
    }
    return -12;
}

int CDeviceCommunication::SetSFDeviceUpdateData(const uint8_t* data, SFUpdateDataHeader header) {
    if (libraryFlag == 1) return -10;
    const ModelFamily family = FamilyOf(model);
    if (family == ModelFamily::None) return -12;
    const uint32_t n = UpdateDataLength(header);
    if (n > 0 && !data) return -4;
    // No frame can carry more: n + 16 header bytes + 12 frame bytes must stay countable.
    if (n > 0xFFFFFFFFu - 28) return -4;
    const uint8_t* h = header.h;
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(n) + 16);
    } catch (const std::bad_alloc&) {
        return -4;
    }
    if (family == ModelFamily::Older) {
        const uint8_t order[16] = {h[0], h[1], h[3], h[2], h[5], h[4], h[6], h[7],
                                   h[8], h[9], h[10], h[11], h[15], h[14], h[13], h[12]};
        std::memcpy(buffer.data(), order, 16);
        if (n) std::memcpy(buffer.data() + 16, data, n);
        static const uint8_t cmd[4] = {0x1B, 0x69, 0x55, 0x64};
        std::vector<uint8_t> frame;
        const int len = BuildDataFrame(cmd, buffer.data(), n + 16, &frame);
        if (len < 0) return -4;
        buffer = std::vector<uint8_t>();
        const int mode = SendUpdateMode(h[1]);
        if (mode != 1) return mode;
        // The device restarts into update mode: reconnect before the download.
        platform::Clock& clock = platform::GetClock();
        clock.SleepMs(1000);
        Close();
        for (int attempt = 0; attempt < 10; ++attempt) {
            clock.SleepMs(1000);
            int exError = 0;
            if (Open(nullptr, 0, &exError) == 1) break;
        }
        auto image = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[frame.size()]);
        if (!image) return -6;
        std::memcpy(image.get(), frame.data(), frame.size());
        return StartDownload(std::move(image), len) == 1 ? 1 : -6;
    }
    const uint8_t order[16] = {h[2], h[3], h[4], h[5], h[1], h[0], h[6], h[7],
                               h[11], h[10], h[9], h[8], h[12], h[13], h[14], h[15]};
    std::memcpy(buffer.data(), order, 16);
    if (n) std::memcpy(buffer.data() + 16, data, n);
    static const uint8_t cmd[4] = {0x05, 0x20, 0x69, 0x75};
    return SendFrame(*this, cmd, buffer.data(), n + 16, 0);
}

int CDeviceCommunication::CreateFileOnSDCard(uint16_t sizeOfFileName, const char* fileName) {
    if (model != 1160) return -12;
    static const uint8_t cmd[4] = {0x05, 0x20, 0x66, 0x6E};
    return SendFrame(*this, cmd, reinterpret_cast<const uint8_t*>(fileName), sizeOfFileName, 0);
}

int CDeviceCommunication::AppendFileData(uint16_t size, const uint8_t* data) {
    if (model != 1160) return -12;
    static const uint8_t cmd[4] = {0x05, 0x20, 0x66, 0x61};
    return SendFrame(*this, cmd, data, size, 0);
}

int CDeviceCommunication::CloseFile() {
    if (model != 1160) return -12;
    static const uint8_t cmd[4] = {0x05, 0x20, 0x66, 0x63};
    return SendFrame(*this, cmd, nullptr, 0, 0);
}

int CDeviceCommunication::WaitWhileBusy() {
    platform::Clock& clock = platform::GetClock();
    for (int budget = 500; budget > 0;) {
        clock.SleepMs(1);
        DeviceStatus status{};
        const int result = GetDeviceStatus(&status);
        if (result == 1 && status.Busy == 0) return 1;
        // A failed status query uses up the budget as a busy answer does, so the wait ends.
        clock.SleepMs(10);
        budget -= 10;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Update-data header

SFUpdateDataHeader MakeUpdateDataHeader(uint8_t kind, uint16_t version, uint16_t variant, uint32_t address,
                                        uint32_t length) {
    SFUpdateDataHeader h{};
    h.h[1] = kind;
    h.h[2] = static_cast<uint8_t>(version);
    h.h[3] = static_cast<uint8_t>(version >> 8);
    h.h[4] = static_cast<uint8_t>(variant);
    h.h[5] = static_cast<uint8_t>(variant >> 8);
    h.h[8] = static_cast<uint8_t>(address >> 24);
    h.h[9] = static_cast<uint8_t>(address >> 16);
    h.h[10] = static_cast<uint8_t>(address >> 8);
    h.h[11] = static_cast<uint8_t>(address);
    h.h[12] = static_cast<uint8_t>(length);
    h.h[13] = static_cast<uint8_t>(length >> 8);
    h.h[14] = static_cast<uint8_t>(length >> 16);
    h.h[15] = static_cast<uint8_t>(length >> 24);
    return h;
}

uint32_t UpdateDataLength(const SFUpdateDataHeader& header) { return LE32(header.h + 12); }

}  // namespace velmora
