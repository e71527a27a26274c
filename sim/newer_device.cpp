#include "sim/newer_device.h"

#include <algorithm>
#include <cstdio>

namespace quillon_sim {
namespace {

constexpr FaultInfo kFaults[] = {
    {Fault::RefuseBootware, "refuse-bootware", "refuse the enter-Bootware command"},
    {Fault::StayInBootware, "stay-in-bootware", "come back in Bootware after the commit (never leave it)"},
    {Fault::NeverReturn, "never-return", "do not come back after a restart"},
    {Fault::OtherSerial, "other-serial", "come back from a restart with another serial number"},
    {Fault::StayBusy, "stay-busy", "every status read says busy"},
    {Fault::InstallError, "install-error", "the ESP32 install reports a device error below 20 (default 5)"},
    {Fault::InstallErrorFatal, "install-error-fatal",
     "the ESP32 install reports a device error of 20 or more while busy (default 20)"},
    {Fault::CorruptPage, "corrupt-page", "page reads return one byte changed"},
    {Fault::RefuseFrame, "refuse-frame", "refuse data blocks (or every data frame of the fault command)"},
    {Fault::DropReply, "drop-reply", "send no reply"},
    {Fault::GarbleReply, "garble-reply", "garble the header of each reply"},
    {Fault::AnswerLate, "answer-late", "answer after a delay (default 20,000 ms: past every time-out of the host)"},
};

// Answer markers that the host checks in byte 0.
constexpr uint8_t kReplyMark = 0x04;
constexpr uint8_t kAckMark = 0x02;
constexpr uint8_t kShortAckMark = 0x06;
constexpr uint8_t kRefusedMark = 0x15;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Four decimal digits as four BCD nibbles: 350 -> 0x0350.
uint16_t ToBcd(uint16_t value) {
    unsigned v = std::min<unsigned>(value, 9999);
    return static_cast<uint16_t>((v / 1000) << 12 | (v / 100 % 10) << 8 | (v / 10 % 10) << 4 | (v % 10));
}

void PutSerial(uint8_t* p, const std::string& serial) {
    for (size_t i = 0; i < 6; ++i) p[i] = i < serial.size() ? static_cast<uint8_t>(serial[i]) : ' ';
}

std::string Format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += Format("%02X", b);
    }
    return s;
}

// 8-byte reply header: mark, 0, length of what follows the length field, echo 05 3F c2 c3.
std::vector<uint8_t> ReplyHeader(bool ok, uint8_t c2, uint8_t c3, size_t payload) {
    std::vector<uint8_t> r(8 + payload, 0);
    r[0] = ok ? kReplyMark : kRefusedMark;
    PutLe16(&r[2], static_cast<uint16_t>(std::min<size_t>(payload + 4, 0xFFFF)));
    r[4] = 0x05;
    r[5] = '?';
    r[6] = c2;
    r[7] = c3;
    return r;
}

// 8-byte acknowledgement of a data frame (refused: another mark, same echo).
std::vector<uint8_t> Acknowledgement(bool ok, uint8_t c2, uint8_t c3) {
    return {ok ? kAckMark : kRefusedMark, 0x00, 0x04, 0x00, 0x05, '!', c2, c3};
}

std::array<uint8_t, 30> StatusReply(const DeviceState& s, bool busy, uint16_t error) {
    std::array<uint8_t, 30> r{};
    const StatusFields& f = s.status;
    r[0] = busy ? f.busyValue : 0;
    PutLe16(&r[2], f.stats);
    PutLe16(&r[4], error);
    PutLe16(&r[6], f.userPrintCounter);
    r[8] = f.printCounter;
    r[9] = f.akku;
    r[10] = f.phLevel;
    r[13] = f.storedImages;
    PutLe16(&r[14], f.corError);
    PutLe16(&r[18], f.warning);
    return r;
}

// A status read: the ESP32 install moves on by one read.
std::array<uint8_t, 30> ReadStatus(DeviceState& s, std::string& detail) {
    bool busy = s.status.busy;
    uint16_t error = s.status.error;
    if (s.installing) {
        if (s.installEndsAtOnce) {
            busy = true;
            error = s.installResult;
            s.installing = false;
            s.status.error = s.installResult;
        } else if (s.installReadsLeft > 0) {
            --s.installReadsLeft;
            busy = true;
            error = s.installResult;
        } else {
            s.installing = false;
            s.status.error = s.installResult;
            error = s.installResult;
        }
    }
    if (s.Has(Fault::StayBusy)) busy = true;
    detail = Format("busy %d error %u", busy ? 1 : 0, error);
    return StatusReply(s, busy, error);
}

std::vector<uint8_t> StatisticsReply(const DeviceState& s) {
    std::vector<uint8_t> r(998, 0);
    PutLe32(&r[0], s.statistics.printCounter);
    size_t n = std::min<size_t>(s.statistics.errors.size(), 949);
    std::copy_n(s.statistics.errors.begin(), n, r.begin() + 4);
    r[4 + n] = 0xFF;
    r[990] = s.statistics.deviceOptions;
    return r;
}

std::vector<uint8_t> StoredImageReply(const DeviceState& s, uint16_t index) {
    std::vector<uint8_t> r(64, 0);
    if (index < s.storedImages.size()) {
        const StoredImage& img = s.storedImages[index];
        PutLe16(&r[0], img.number);
        r[2] = img.kind;
        r[3] = img.flags;
        std::copy_n(img.name.begin(), std::min<size_t>(img.name.size(), 50), r.begin() + 4);
    }
    return r;
}

std::vector<uint8_t> SfStatusReply(const DeviceState& s) {
    std::vector<uint8_t> r(16, 0);
    r[0] = s.serviceMode ? 1 : 0;
    r[1] = 2;  // format
    r[2] = s.lastTransferOk ? 1 : 0;
    r[3] = s.lastKind;
    PutLe16(&r[4], s.bootwareVersion);
    PutLe16(&r[6], s.version);
    r[8] = s.runsApplication ? 1 : 0;
    return r;
}

std::vector<uint8_t> IdentityText(const DeviceState& s) {
    std::vector<uint8_t> r(32, 0);
    std::string text = Format("%u-%03u-%s", s.model, std::min<unsigned>(s.variant, 999),
                              s.runsApplication ? "  " : "BW");
    std::copy_n(text.begin(), std::min<size_t>(text.size(), 16), r.begin());
    PutSerial(&r[16], s.serial);
    uint16_t bcd = ToBcd(s.ReportedVersion());
    r[22] = static_cast<uint8_t>(bcd);
    r[23] = static_cast<uint8_t>(bcd >> 8);
    return r;
}

Response AnswerDeviceInfo(const DeviceState& s) {
    Response out;
    out.letter = 0x20;
    out.bytes.assign(32, 0);
    out.bytes[0] = 0x1B;
    out.bytes[1] = 0x64;
    out.bytes[2] = 0x3F;
    out.bytes[3] = 0x20;
    uint8_t* d = &out.bytes[4];
    // Bytes the host does not use still count in the sum: length, both versions, the mode.
    PutBe16(&d[0], 24);
    PutBe16(&d[2], s.model);
    PutBe16(&d[4], s.variant);
    PutSerial(&d[6], s.serial);
    PutBe16(&d[12], ToBcd(s.ReportedVersion()));
    PutBe16(&d[14], ToBcd(s.bootwareVersion));
    PutBe16(&d[16], ToBcd(s.version));
    d[23] = s.runsApplication ? 1 : 0;
    uint32_t sum = 0;
    for (int i = 0; i < 24; ++i) sum += d[i];
    for (int i = 0; i < 4; ++i) d[24 + i] = static_cast<uint8_t>(sum >> (8 * (3 - i)));
    out.logLine = Format("device information -> model %u variant %u serial %.6s %s %u.%02u", s.model,
                         s.variant, s.serial.c_str(), s.runsApplication ? "FW" : "BW",
                         s.ReportedVersion() / 100, s.ReportedVersion() % 100);
    return out;
}

Response AnswerRequest(DeviceState& s, const std::vector<uint8_t>& f) {
    Response out;
    const uint16_t lengthField = Le16(&f[2]);
    const uint8_t* cmd = &f[4];
    const uint8_t c2 = cmd[2], c3 = cmd[3];
    const uint16_t param = Le16(&cmd[4]);
    out.letter = c3;
    if (lengthField < 4) {
        out.logLine = "request " + Hex({cmd, 6}) + " with length field " + std::to_string(lengthField) +
                      " -> ignored";
        return out;
    }
    const size_t replyLen = lengthField - 4u;

    std::string name;
    std::vector<uint8_t> payload;
    std::string refusal;  // non-empty: the request is refused for this reason
    std::string detail;
    const unsigned key = cmd[1] == '?' ? (c2 << 8 | c3) : 0;
    // Length is checked first so that a refused request changes nothing.
    auto expect = [&](const char* n, size_t len) {
        name = n;
        if (replyLen != len) refusal = Format("reply length %zu, this answer has %zu", replyLen, len);
        return refusal.empty();
    };
    switch (key) {
    case 0x2053:  // 05 3F 20 53
        if (expect("GetDeviceStatus", 30)) {
            auto r = ReadStatus(s, detail);
            payload.assign(r.begin(), r.end());
        }
        break;
    case 0x2044:
        if (expect("GetFileSystemInfo", 64)) {
            payload = StoredImageReply(s, param);
            detail = Format("index %u", param) +
                     (param < s.storedImages.size() ? " \"" + s.storedImages[param].name + "\"" : " (end)");
        }
        break;
    case 0x2070:
        if (expect("GetDeviceParameter", 64)) payload.assign(s.parameters.begin(), s.parameters.end());
        break;
    case 0x6969:
        if (expect("GetSFModuleStatus", 16)) {
            payload = SfStatusReply(s);
            detail = Format("active %d", s.serviceMode ? 1 : 0);
        }
        break;
    case 0x6973:
        if (expect("GetSFDeviceSensors", 22)) {
            payload.assign(s.sensors.begin(), s.sensors.end());
            detail = Format("ESP32 indicator %u", s.sensors[13]);
        }
        break;
    case 0x6954:
        if (expect("GetSFDeviceTestfunction", 18)) {
            if (!s.serviceMode)
                refusal = "service mode off";
            else
                payload.assign(s.testfunction.begin(), s.testfunction.end());
        }
        break;
    case 0x6953:
        if (expect("GetSFDeviceStatisticV2", 998)) payload = StatisticsReply(s);
        break;
    case 0x6975:
        if (expect("GetSFDeviceUpdateData", kFlashPageSize)) {
            const uint64_t address = kFlashBase + static_cast<uint64_t>(param) * kFlashPageSize;
            detail = Format("page %u (0x%06llX)", param, static_cast<unsigned long long>(address));
            if (s.runsApplication)
                refusal = "not in Bootware";
            else if (!s.serviceMode)
                refusal = "service mode off";
            else if (address + kFlashPageSize > kFlashBase + static_cast<uint64_t>(s.flashSize))
                refusal = "page outside the flash";
            else {
                payload = s.ReadFlash(static_cast<uint32_t>(address), kFlashPageSize);
                if (s.Has(Fault::CorruptPage)) {
                    // Change a byte of the last block when this page holds one, else byte 0.
                    size_t at = 0;
                    const uint64_t blockEnd = static_cast<uint64_t>(s.lastBlockAddress) + s.lastBlockLength;
                    if (s.lastBlockLength > 0 && s.lastBlockAddress < address + kFlashPageSize &&
                        blockEnd > address)
                        at = s.lastBlockAddress > address ? s.lastBlockAddress - address : 0;
                    payload[at] ^= 0x5A;
                    detail += " (corrupted)";
                }
            }
        }
        break;
    case 0x6944:
        if (expect("GetSFPrintHeadData", 26)) {
            if (s.model != 1160)
                refusal = "no print-head data on this model";
            else
                payload.assign(s.printHead.begin(), s.printHead.end());
        }
        break;
    case 0x2069:
        if (expect("identity", 32)) {
            payload = IdentityText(s);
            detail.assign(payload.begin(), std::find(payload.begin(), payload.begin() + 16, 0));
        }
        break;
    default:
        name = "unknown request " + Hex({cmd, 6});
        refusal = "unknown command";
        break;
    }
    if (!refusal.empty()) {
        out.bytes = ReplyHeader(false, c2, c3, replyLen);
        out.logLine = name + (detail.empty() ? "" : " " + detail) + " -> refused (" + refusal + ")";
        return out;
    }
    out.bytes = ReplyHeader(true, c2, c3, replyLen);
    std::copy(payload.begin(), payload.end(), out.bytes.begin() + 8);
    out.logLine = name + (detail.empty() ? "" : " " + detail) + " -> " + std::to_string(replyLen) + " bytes";
    return out;
}

Response AnswerShortRequest(DeviceState& s, const std::vector<uint8_t>& f) {
    Response out;
    const size_t replyLen = Le16(&f[2]);
    const uint8_t* cmd = &f[4];
    out.letter = cmd[3];
    out.bytes.assign(4 + replyLen, 0);
    out.bytes[1] = cmd[1];
    out.bytes[2] = cmd[2];
    out.bytes[3] = cmd[3];
    // The one short request this device knows: the first bytes of its status.
    if (cmd[1] == '?' && cmd[2] == 0x20) {
        out.bytes[0] = kShortAckMark;
        auto status = StatusReply(s, s.status.busy || s.installing || s.Has(Fault::StayBusy), s.status.error);
        std::copy_n(status.begin(), std::min(replyLen, status.size()), out.bytes.begin() + 4);
        out.logLine = Format("short status read -> %zu bytes", replyLen);
    } else {
        out.bytes[0] = kRefusedMark;
        out.logLine = "short request " + Hex({cmd, 4}) + " -> refused (unknown command)";
    }
    return out;
}

bool IsImageOnCard(const DeviceState& s, const char* name) {
    auto it = s.sdFiles.find(name);
    return it != s.sdFiles.end() && it->second.closed && !it->second.data.empty();
}

bool ValidFileName(const std::vector<uint8_t>& name) {
    if (name.empty() || name.size() > 64) return false;
    for (uint8_t c : name)
        if (c < 0x20 || c > 0x7E || c == '/' || c == '\\') return false;
    return true;
}

size_t CardBytes(const DeviceState& s) {
    size_t n = 0;
    for (const auto& [_, file] : s.sdFiles) n += file.data.size();
    return n;
}

// Handles the update-data frame (05 20 69 75); returns the refusal reason or "" when accepted.
std::string UpdateData(DeviceState& s, std::span<const uint8_t> d, Response& out, std::string& detail) {
    if (d.size() < 16) return "header shorter than 16 bytes";
    const uint16_t version = Le16(&d[0]);
    const uint16_t variant = Le16(&d[2]);
    const uint8_t kind = d[4];
    const uint32_t address = Le32(&d[8]);
    const uint32_t length = Le32(&d[12]);
    const std::span<const uint8_t> data = d.subspan(16);
    detail = Format("kind %u", kind);
    s.lastKind = kind;
    if (data.size() != length) return Format("length field %u, %zu data bytes", length, data.size());
    if (!s.serviceMode) return "service mode off";
    switch (kind) {
    case 0:  // enter Bootware
        detail += " (enter Bootware)";
        if (s.Has(Fault::RefuseBootware)) return "fault refuse-bootware";
        if (s.runsApplication) out.restart = RestartInto::BootLoader;
        return "";
    case 2: {  // data block
        detail += Format(" address 0x%06X length %u", address, length);
        if (s.runsApplication) return "not in Bootware";
        if (s.Has(Fault::RefuseFrame) && !s.faultCommand) return "fault refuse-frame";
        const uint64_t end = static_cast<uint64_t>(address) + length;
        if (address < kFlashBase || end > kFlashBase + static_cast<uint64_t>(s.flashSize))
            return "outside the flash";
        for (uint32_t i = 0; i < length;) {
            const uint32_t off = address - kFlashBase + i;
            const uint32_t page = off / kFlashPageSize;
            const uint32_t at = off % kFlashPageSize;
            const uint32_t n = std::min(length - i, kFlashPageSize - at);
            auto [it, fresh] = s.flashPages.try_emplace(page);
            if (fresh) it->second.assign(kFlashPageSize, 0xFF);
            std::copy_n(data.begin() + i, n, it->second.begin() + at);
            i += n;
        }
        s.lastBlockAddress = address;
        s.lastBlockLength = length;
        return "";
    }
    case 1:  // commit
        detail += Format(" (commit version %u variant %u span 0x%X)", version, variant, address);
        if (s.runsApplication) return "not in Bootware";
        s.pendingVersion = version;
        s.pendingVariant = variant;
        s.committedSpan = address;
        out.restart = RestartInto::Application;
        return "";
    case 3: {  // install the ESP32 images from the SD card
        detail += " (install ESP32 images)";
        if (!s.runsApplication) return "not running the application";
        if (!s.esp32Present) return "no ESP32";
        s.installing = true;
        s.installReadsLeft = s.installBusyReads;
        s.installEndsAtOnce = false;
        s.installResult = 0;
        s.status.error = 0;
        if (!IsImageOnCard(s, "bootloader.bin") || !IsImageOnCard(s, "partitions.bin") ||
            !IsImageOnCard(s, "application.bin")) {
            s.installResult = kErrorImageMissing;
            s.installEndsAtOnce = true;
        } else if (s.Has(Fault::InstallErrorFatal)) {
            s.installResult = s.installFatalError;
            s.installEndsAtOnce = true;
        } else if (s.Has(Fault::InstallError)) {
            s.installResult = s.installError;
        }
        return "";
    }
    default:
        return "unknown kind";
    }
}

Response HandleData(DeviceState& s, const std::vector<uint8_t>& f) {
    Response out;
    out.isReply = false;
    const uint8_t* cmd = &f[4];
    const uint8_t c2 = cmd[2], c3 = cmd[3];
    out.letter = c3;
    const std::span<const uint8_t> data(f.data() + 8, f.size() - 8);
    const unsigned key = cmd[1] == 0x20 ? (c2 << 8 | c3) : 0;
    std::string name;
    std::string detail;
    std::string refusal;
    const bool sd = s.model == 1160;
    // The update-data header's kind is byte 4 of the data.
    if (key == 0x6975 && data.size() > 4 && s.flapFromKind && *s.flapFromKind == data[4] && s.flapMs > 0)
        s.flapping = true;
    if (s.Has(Fault::RefuseFrame) && s.faultCommand && *s.faultCommand == c3) {
        name = "data frame " + Hex({cmd, 4});
        refusal = "fault refuse-frame";
    } else {
        switch (key) {
        case 0x6961:  // 05 20 69 61
            name = "ActivateSFModuleMode";
            if (data.size() != 10) {
                refusal = Format("%zu data bytes", data.size());
            } else {
                s.serviceMode = data[0] == 1;
                detail = Format("activate %u", data[0]);
            }
            break;
        case 0x6955:
            name = "SendUpdateMode";
            if (s.model != 660)
                refusal = "not on this model";
            else if (data.size() != 12)
                refusal = Format("%zu data bytes", data.size());
            else {
                s.updateMode = data[1];
                detail = Format("mode %u", data[1]);
            }
            break;
        case 0x6975:
            name = "SetSFDeviceUpdateData";
            refusal = UpdateData(s, data, out, detail);
            s.lastTransferOk = refusal.empty();
            break;
        case 0x666E: {
            name = "CreateFileOnSDCard";
            std::vector<uint8_t> fileName(data.begin(), data.end());
            if (!sd) {
                refusal = "no SD card on this model";
            } else if (!ValidFileName(fileName)) {
                refusal = "bad file name";
            } else {
                std::string n(fileName.begin(), fileName.end());
                detail = "\"" + n + "\"";
                if (!s.openFile.empty()) detail += " (closes \"" + s.openFile + "\")";
                s.sdFiles[n] = SdFile{};
                s.openFile = n;
            }
            break;
        }
        case 0x6661:
            name = "AppendFileData";
            detail = Format("%zu bytes", data.size());
            if (!sd)
                refusal = "no SD card on this model";
            else if (s.openFile.empty())
                refusal = "no file open";
            else if (CardBytes(s) + data.size() > s.sdCapacity)
                refusal = "SD card full";
            else {
                auto& file = s.sdFiles[s.openFile].data;
                file.insert(file.end(), data.begin(), data.end());
                detail += " to \"" + s.openFile + "\"";
            }
            break;
        case 0x6663:
            name = "CloseFile";
            if (!sd)
                refusal = "no SD card on this model";
            else if (s.openFile.empty())
                refusal = "no file open";
            else if (!data.empty())
                refusal = "unexpected data";
            else {
                SdFile& file = s.sdFiles[s.openFile];
                file.closed = true;
                detail = Format("\"%s\" %zu bytes", s.openFile.c_str(), file.data.size());
                s.openFile.clear();
            }
            break;
        default:
            name = "unknown data frame " + Hex({cmd, 4});
            refusal = "unknown command";
            break;
        }
    }
    if (!refusal.empty()) out.restart = RestartInto::None;
    out.bytes = Acknowledgement(refusal.empty(), c2, c3);
    out.logLine = name + (detail.empty() ? "" : " " + detail) +
                  (refusal.empty() ? " -> acknowledged" : " -> refused (" + refusal + ")");
    if (out.restart == RestartInto::BootLoader) out.logLine += ", restarting into Bootware";
    if (out.restart == RestartInto::Application) out.logLine += ", restarting";
    return out;
}

}  // namespace

std::span<const FaultInfo> AllFaults() { return kFaults; }

std::optional<Fault> FaultFromName(std::string_view name) {
    for (const FaultInfo& f : kFaults)
        if (name == f.name) return f.fault;
    return std::nullopt;
}

const char* FaultName(Fault fault) {
    for (const FaultInfo& f : kFaults)
        if (f.fault == fault) return f.name;
    return "?";
}

std::vector<uint8_t> DeviceState::ReadFlash(uint32_t address, size_t length) const {
    std::vector<uint8_t> out(length, 0xFF);
    const uint64_t flashEnd = kFlashBase + static_cast<uint64_t>(flashSize);
    for (size_t i = 0; i < length; ++i) {
        const uint64_t a = static_cast<uint64_t>(address) + i;
        if (a < kFlashBase || a >= flashEnd) continue;
        const uint64_t off = a - kFlashBase;
        auto it = flashPages.find(static_cast<uint32_t>(off / kFlashPageSize));
        if (it != flashPages.end()) out[i] = it->second[off % kFlashPageSize];
    }
    return out;
}

DeviceState MakeDevice(uint16_t model) {
    DeviceState s;
    s.model = model;
    s.sensors = {0x01, 0x00, 0x2C, 0x01, 0x10, 0x0E, 0x90, 0x01, 0x40, 0x50, 0x03,
                 0x19, 0x00, 0x00, 0x22, 0x01, 0x33, 0x01, 0x05, 0x00, 0x00, 0x00};
    SetEsp32Present(s, model == 1160);
    s.printHead = {0x03, 0x01, 0x02, 0x10, 0x00, 0x01, 0x00, 0x02, 0x40, 0xE2, 0x01, 0x00, 0x05,
                   0x06, 0x07, 0x08, 'P', 'H', '-', '1', '1', '6', '0', 0x00, 0x00, 0x00};
    // Parameters: print sequence, direction, effects, signals, Font1 name at 10, size, flags,
    // encoder and speed.
    s.parameters[2] = 1;
    s.parameters[4] = 0x00;
    s.parameters[5] = 0x01;
    s.parameters[6] = 0x03;
    s.parameters[8] = 0x02;
    s.parameters[9] = 0x01;
    const std::string font = "Standard";
    std::copy(font.begin(), font.end(), s.parameters.begin() + 10);
    s.parameters[60] = 16;
    s.parameters[61] = 0x01;
    s.parameters[62] = 1;
    s.parameters[63] = 30;
    s.statistics.printCounter = 12345;
    s.statistics.errors = {3, 17};
    s.statistics.deviceOptions = 0x01;
    s.storedImages = {{"Label 1", 1, 1, 0}, {"Batch", 2, 1, 0}};
    s.status.storedImages = 1;
    return s;
}

void SetEsp32Present(DeviceState& state, bool present) {
    state.esp32Present = present;
    state.sensors[13] = present ? 120 : 255;
}

void FrameAssembler::Feed(std::span<const uint8_t> bytes) {
    // Keep the buffer bounded even when Next() is not called between feeds.
    if (Pending() + bytes.size() > 2 * kMaxFrame) {
        skipped_ += Pending();
        DropPending();
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void FrameAssembler::DropPending() {
    buffer_.clear();
    start_ = 0;
}

size_t FrameAssembler::TakeSkipped() {
    size_t n = skipped_;
    skipped_ = 0;
    return n;
}

std::optional<Frame> FrameAssembler::Next() {
    auto needMore = [&]() -> std::optional<Frame> {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
        return std::nullopt;
    };
    auto take = [&](size_t n, FrameKind kind) -> std::optional<Frame> {
        Frame f;
        f.kind = kind;
        f.bytes.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                       buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + n));
        start_ += n;
        return f;
    };
    for (;;) {
        const size_t n = Pending();
        if (n == 0) {
            DropPending();
            return std::nullopt;
        }
        const uint8_t* p = buffer_.data() + start_;
        if (p[0] != 0x01 && p[0] != 0x03) {
            ++start_;
            ++skipped_;
            continue;
        }
        if (n < 2) return needMore();
        if (p[1] != 0x00) {
            ++start_;
            ++skipped_;
            continue;
        }
        if (n < 8) return needMore();
        if (p[0] == 0x01) {
            if (p[4] == 0x1B && p[5] == 0x64 && p[6] == 0x3F && p[7] == 0x20) {
                if (n < 16) return needMore();
                return take(16, FrameKind::DeviceInfo);
            }
            const size_t length = Le16(&p[2]);
            if (p[4] != 0x05 || length < 4) {
                ++start_;
                ++skipped_;
                continue;
            }
            if (n < 4 + length) return needMore();
            return take(4 + length, FrameKind::Data);
        }
        if (p[4] != 0x05) {
            ++start_;
            ++skipped_;
            continue;
        }
        if (p[7] == 'r') return take(8, FrameKind::ShortRequest);
        if (n < 10) return needMore();
        return take(10, FrameKind::Request);
    }
}

Response HandleFrame(DeviceState& state, const Frame& frame) {
    switch (frame.kind) {
    case FrameKind::DeviceInfo:
        return AnswerDeviceInfo(state);
    case FrameKind::Request:
        return AnswerRequest(state, frame.bytes);
    case FrameKind::ShortRequest:
        return AnswerShortRequest(state, frame.bytes);
    case FrameKind::Data:
        return HandleData(state, frame.bytes);
    }
    return {};
}

void PowerDown(DeviceState& state, RestartInto into) {
    ++state.restarts;
    state.serviceMode = false;
    state.openFile.clear();  // a file that was open stays unclosed on the card
    state.installing = false;
    if (into == RestartInto::BootLoader) {
        state.runsApplication = false;
    } else if (into == RestartInto::Application) {
        if (state.Has(Fault::StayInBootware)) {
            state.runsApplication = false;
        } else {
            state.runsApplication = true;
            state.version = state.pendingVersion;
            state.variant = state.pendingVariant;
        }
    }
}

void PowerUp(DeviceState& state) {
    if (state.Has(Fault::OtherSerial)) state.serial = state.otherSerial;
}

}  // namespace quillon_sim
