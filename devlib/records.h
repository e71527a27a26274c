// The packed device records the library fills for its callers. Offsets are fixed by the
// device protocol; values are stored in the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

#pragma pack(push, 1)

struct DeviceInfo {
    uint16_t version;         // hundredths: 205 = 2.05
    uint16_t model;
    uint16_t variant;
    uint8_t runsApplication;  // 1 = application firmware, else boot loader
    char serial[6];           // no terminator
};

struct DeviceStatus {
    uint16_t stats;             // bit 15 device security active, bit 14 locked
    uint8_t unknown2;
    uint8_t unknown3;
    uint16_t error;             // device error code, 0 = none
    uint16_t corError;
    uint16_t unknown8;
    uint16_t warning;
    uint16_t unknown12;
    uint8_t storedImages;       // reported plus one as the number of stored print images
    uint8_t unknown15;
    uint8_t unknown16;
    uint8_t unknown17;
    uint8_t akku;
    uint8_t phLevel;
    uint16_t unknown20;
    uint16_t unknown22;
    uint8_t printCounter;
    uint8_t Busy;               // 0 = ready
    uint16_t userPrinerCounter;
    uint8_t unknown28;
    uint8_t unknown29;
};

struct DeviceParameter {
    uint8_t unknown0;
    uint8_t unknown1;
    uint16_t printSeq;
    uint16_t printDir;
    uint16_t effects;
    uint16_t signals;
    uint16_t function;
    uint16_t encoder;
    uint16_t speed;
    uint16_t path;
    uint16_t forrun[4];
    uint16_t printDelay[4];
    char font1Name[50];
    uint8_t font1Size;
    uint8_t font1Flags;
    char font2Name[50];
    uint8_t font2Size;
    uint8_t font2Flags;
    char filename[32];
    uint8_t unknown170;
    uint8_t spitting;
    uint8_t unknown172;
    uint8_t unknown173[7];
};

struct FileSystemInfo {
    uint16_t unknown0;
    uint8_t unknown2;
    uint8_t unknown3;
    char fileName[50];  // empty name: end of the device's file list
    uint8_t unknown54[10];
};

struct SFModuleStatus {
    uint8_t format;
    uint8_t active;                 // SF-Modul active state, 1 = active
    uint8_t transferNOKOK;
    uint8_t kindOfUpdate;
    uint8_t transferStatus;
    uint8_t stateOfTestfunctionAndActuators;
    uint16_t testfunctionLoopCounter;
    uint16_t testfunctionBattery;
    uint16_t testfunctionPHTemperature;
    uint16_t BWVersion;             // boot loader version in hundredths
    uint16_t BWSopro;
    uint16_t unknown16;
    uint8_t status[12];             // newer family: its status bytes, unchanged
};

struct SFDeviceSensors {
    uint8_t unknown0;
    uint8_t unknown1;
    uint8_t unknown2;
    uint8_t unknown3;
    uint16_t unknown4;
    uint16_t unknown6;
    uint16_t unknown8;
    uint16_t unknown10;
    uint8_t unknown12;
    uint8_t unknown13;
    uint8_t unknown14;
    uint8_t esp32Indicator;  // above 198: the control board carries no ESP32
    uint16_t unknown16;
    uint16_t unknown18;
    uint8_t unknown20;
    uint8_t unknown21;
};

struct SFDeviceTestfunction {
    uint8_t unknown0;
    uint8_t state;  // read by the application at its checks
    uint8_t unknown2;
    uint8_t unknown3;
    uint16_t unknown4;
    uint16_t unknown6;
    uint16_t unknown8;
    uint16_t unknown10;
    uint8_t unknown12[6];
};

struct SFDeviceStatisticV2 {
    uint32_t printCounter;
    uint8_t errors[950];  // error numbers, ended by 0xFF
    uint16_t unknown954;
    uint16_t unknown956;
    uint8_t unknown958[32];
    uint8_t options[8];   // first byte: the device options
};

struct SFPrintHeadData {
    uint8_t unknown0;
    uint8_t unknown1;
    uint8_t unknown2;
    uint8_t unknown3;
    uint8_t unknown4;
    uint8_t unknown5;
    uint8_t printCartridge;
    uint32_t unknown7;
    uint8_t unknown11;
    uint8_t unknown12;
    uint8_t unknown13;
    uint16_t unknown14;
    uint8_t unknown16[10];
};

// The 16-byte header of every firmware-update command, in the caller's order:
// h0 = 0; h1 = kind; h2-h3 version (LE); h4-h5 variant (LE); h6-h7 = 0;
// h8-h11 address (BE); h12-h15 number of data bytes (LE).
struct SFUpdateDataHeader {
    uint8_t h[16];
};

#pragma pack(pop)

static_assert(sizeof(DeviceInfo) == 13);
static_assert(sizeof(DeviceStatus) == 30);
static_assert(offsetof(DeviceStatus, Busy) == 25);
static_assert(sizeof(DeviceParameter) == 180);
static_assert(offsetof(DeviceParameter, font1Name) == 34);
static_assert(offsetof(DeviceParameter, font2Size) == 136);
static_assert(offsetof(DeviceParameter, filename) == 138);
static_assert(sizeof(FileSystemInfo) == 64);
static_assert(sizeof(SFModuleStatus) == 30);
static_assert(sizeof(SFDeviceSensors) == 22);
static_assert(offsetof(SFDeviceSensors, esp32Indicator) == 15);
static_assert(sizeof(SFDeviceTestfunction) == 18);
static_assert(sizeof(SFDeviceStatisticV2) == 998);
static_assert(sizeof(SFPrintHeadData) == 26);
static_assert(offsetof(SFPrintHeadData, unknown14) == 14);
static_assert(sizeof(SFUpdateDataHeader) == 16);

constexpr size_t kUpdateDataBlockSize = 4096;

// Update-data kinds (header byte 1).
constexpr uint8_t kUpdateEnterBootware = 0;
constexpr uint8_t kUpdateCommit = 1;
constexpr uint8_t kUpdateDataBlock = 2;
constexpr uint8_t kUpdateInstallEsp32 = 3;

SFUpdateDataHeader MakeUpdateDataHeader(uint8_t kind, uint16_t version, uint16_t variant, uint32_t address,
                                        uint32_t length);
// Number of data bytes that follow the header (h12-h15).
uint32_t UpdateDataLength(const SFUpdateDataHeader& header);

}  // namespace velmora
