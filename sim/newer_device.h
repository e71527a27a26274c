// The newer device family (models 660 and 1160) seen from the device: its state and how it
// answers each frame that arrives on its virtual serial port. Pure logic, no I/O: the
// emulator (newer_emulator.h) moves the bytes and carries out restarts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon_sim {

inline constexpr uint32_t kFlashBase = 0x400000;
inline constexpr uint32_t kFlashPageSize = 4096;

// Device error codes this emulator reports on its own (the install error itself is set by
// the test or the command line).
inline constexpr uint16_t kErrorImageMissing = 40;  // an ESP32 image is not on the SD card

// Faults that a test or the command line switches on by name.
enum class Fault {
    RefuseBootware,     // the enter-Bootware command is refused
    StayInBootware,     // after the commit the device comes back in its boot loader
    NeverReturn,        // after a restart the device does not come back
    OtherSerial,        // after a restart the device comes back with another serial number
    StayBusy,           // every status read says busy
    InstallError,       // the ESP32 install reports a minor device error (below 20)
    InstallErrorFatal,  // the ESP32 install reports a device error of 20 or more while busy
    CorruptPage,        // page reads return one byte changed
    RefuseFrame,        // data blocks (or frames of the fault command) are refused
    DropReply,          // replies are not sent
    GarbleReply,        // the header of a reply is garbled
    AnswerLate,         // replies come after a delay
};

struct FaultInfo {
    Fault fault;
    const char* name;
    const char* help;
};
std::span<const FaultInfo> AllFaults();
std::optional<Fault> FaultFromName(std::string_view name);
const char* FaultName(Fault fault);

// The named fields of the status reply; the bytes without a name are answered as 0.
struct StatusFields {
    uint16_t stats = 0;  // bits 15 and 14 both set: device security active and locked
    uint16_t error = 0;  // device error code, 0 = none
    uint16_t corError = 0;
    uint16_t warning = 0;
    uint16_t userPrintCounter = 0;
    uint8_t printCounter = 0;
    uint8_t akku = 85;
    uint8_t phLevel = 70;
    uint8_t storedImages = 0;  // reply byte 13
    bool busy = false;
    uint8_t busyValue = 1;  // the Busy byte a busy device sends
};

struct Statistics {
    uint32_t printCounter = 0;
    std::vector<uint8_t> errors;  // sent in order, then 0xFF; at most 949 are kept
    uint8_t deviceOptions = 0;
};

// One entry of the stored print images (the file-system list).
struct StoredImage {
    std::string name;  // at most 50 bytes are sent
    uint16_t number = 0;
    uint8_t kind = 0;
    uint8_t flags = 0;
};

struct SdFile {
    std::vector<uint8_t> data;
    bool closed = false;
};

enum class RestartInto { None, BootLoader, Application };

struct DeviceState {
    // Identity.
    uint16_t model = 1160;
    std::string serial = "A00001";  // six characters
    uint16_t version = 300;         // application firmware, hundredths (3.00)
    uint16_t variant = 0;
    uint16_t bootwareVersion = 110;  // reported while the boot loader runs
    bool runsApplication = true;
    bool esp32Present = true;

    bool serviceMode = false;
    StatusFields status;
    std::array<uint8_t, 22> sensors{};  // reply bytes; byte 13 is the ESP32 indicator
    std::array<uint8_t, 18> testfunction{};
    Statistics statistics;
    std::array<uint8_t, 26> printHead{};
    std::array<uint8_t, 64> parameters{};
    std::vector<StoredImage> storedImages;

    // Flash from kFlashBase on; pages never written read as 0xFF.
    uint32_t flashSize = 0x100000;
    std::map<uint32_t, std::vector<uint8_t>> flashPages;  // page index -> 4,096 bytes

    // SD card (model 1160).
    std::map<std::string, SdFile> sdFiles;
    std::string openFile;  // empty: no file open
    uint32_t sdCapacity = 16u * 1024 * 1024;

    uint8_t updateMode = 0;  // last update mode (model 660)

    // ESP32 installation.
    uint32_t installBusyReads = 3;    // status reads that say busy before the install is done
    uint16_t installError = 5;        // code of Fault::InstallError
    uint16_t installFatalError = 20;  // code of Fault::InstallErrorFatal
    bool installing = false;
    uint32_t installReadsLeft = 0;
    uint16_t installResult = 0;
    bool installEndsAtOnce = false;  // a fatal error ends the install after one busy read

    // Last data block and commit, for inspection and the corrupt-page fault.
    uint32_t lastBlockAddress = 0;
    uint32_t lastBlockLength = 0;
    uint32_t committedSpan = 0;
    uint8_t lastKind = 0;         // kind of the last update-data frame
    bool lastTransferOk = true;   // whether that frame was accepted
    uint16_t pendingVersion = 0;
    uint16_t pendingVariant = 0;

    std::set<Fault> faults;
    // When set, the reply faults and RefuseFrame act only on commands whose last command
    // byte is this letter.
    std::optional<uint8_t> faultCommand;
    // When not 0: the reply faults and RefuseFrame act on this many frames (of the fault command,
    // when one is set) and are then switched off.
    uint32_t faultFrames = 0;
    // The reply faults pass over this many frames (of the fault command) before they act.
    uint32_t faultSkip = 0;
    std::string otherSerial = "Z99999";

    uint32_t restarts = 0;

    // A device in a boot loop or on a loose cable: while flapping, the device drops off flapMs
    // (on the clock) after each time its port was published and comes back after the restart
    // delay, running what it ran before.
    uint32_t flapMs = 0;
    bool flapping = false;
    // Flapping begins by itself when an update-data frame of this kind arrives (0 enter Bootware,
    // 1 commit), accepted or refused.
    std::optional<uint8_t> flapFromKind;

    bool Has(Fault f) const { return faults.count(f) != 0; }
    uint16_t ReportedVersion() const { return runsApplication ? version : bootwareVersion; }
    // Reads flash bytes (0xFF where nothing was written); address outside the flash reads 0xFF.
    std::vector<uint8_t> ReadFlash(uint32_t address, size_t length) const;
};

// A device of the given model with plausible defaults (ESP32 present, application running).
DeviceState MakeDevice(uint16_t model);
// Sets the ESP32 indicator (sensor reply byte 13): 120 when present, 255 when absent.
void SetEsp32Present(DeviceState& state, bool present);

// What arrives on the port, cut into frames by FrameAssembler.
enum class FrameKind {
    DeviceInfo,    // 16 bytes: 01 00 00 20 1B 64 3F 20 ...
    Request,       // 03 00, length, 6 command bytes
    ShortRequest,  // 03 00, reply length, 4 command bytes ending in 'r'
    Data,          // 01 00, length, 4 command bytes, data
};

struct Frame {
    FrameKind kind = FrameKind::Request;
    std::vector<uint8_t> bytes;  // the whole frame as received
};

// Cuts the byte stream into frames. Bytes that cannot start a frame are skipped one at a time
// and counted. A frame is never longer than 4 + 65,535 bytes, so the buffer stays bounded.
class FrameAssembler {
public:
    static constexpr size_t kMaxFrame = 4 + 0xFFFF;

    void Feed(std::span<const uint8_t> bytes);
    std::optional<Frame> Next();
    // Bytes of an incomplete frame that are waiting for the rest.
    size_t Pending() const { return buffer_.size() - start_; }
    void DropPending();
    // Bytes skipped as unusable since the last call.
    size_t TakeSkipped();

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t skipped_ = 0;
};

struct Response {
    std::vector<uint8_t> bytes;  // reply or acknowledgement; empty: the device stays silent
    RestartInto restart = RestartInto::None;
    std::string logLine;
    uint8_t letter = 0;  // last command byte, for the fault filter
    bool isReply = true;
};

// Handles one frame: answers it and changes the state. The state is the caller's (the
// emulator guards it with its lock).
Response HandleFrame(DeviceState& state, const Frame& frame);

// Carries out a restart: what the device runs afterwards, service mode off, open file
// closed, install ended.
void PowerDown(DeviceState& state, RestartInto into);
// The device comes back (applies Fault::OtherSerial).
void PowerUp(DeviceState& state);

}  // namespace quillon_sim
