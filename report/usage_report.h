// The usage report: when an update starts, a block of device data is collected and posted once
// to the maker's report service over HTTPS, on a thread of its own. Nothing waits for the post,
// its result is neither shown nor logged, and a failure changes nothing else.
//
// Texts are UTF-8 std::strings throughout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "devlib/records.h"

namespace report {

// The failure flags: which read failed first (at most one is set).
constexpr uint32_t kNoSerial = 0x100;
constexpr uint32_t kParameterFailed = 0x200;
constexpr uint32_t kStatusFailed = 0x400;
constexpr uint32_t kStatisticFailed = 0x800;
constexpr uint32_t kPrintHeadFailed = 0x1000;

// The block of device data the report is made of (the dialog's m_report).
struct ReportRecord {
    velmora::SFDeviceStatisticV2 statistic{};
    velmora::DeviceParameter parameters{};
    velmora::SFPrintHeadData printHead{};
    velmora::DeviceInfo deviceInfoCopy{};  // written only when every read succeeded; not sent
    velmora::DeviceStatus status{};
    std::string serialText;                // the device's serial characters, as the device gave them
    std::string oldFirmwareText;           // "3.40-000"
    std::string newFirmwareText;
    int fileCount = 0;                     // stored files, -1 when a read failed
    uint32_t failureFlags = 0;
};

// Where the report goes and what it carries besides the device data.
struct ReportService {
    std::string host;            // report server; "" = reports are not sent
    int port = 443;
    std::string accessKey;       // 32 lower-case hexadecimal digits, the value of the field k
    std::string intranetMarker;  // a computer whose official name contains it reports itself as
                                 // internal; "" = no computer does
    std::string caFile;          // "" = the system's trusted certificates; else only these
};

// The values the build was configured with (QUILLON_REPORT_HOST, QUILLON_REPORT_ACCESS_KEY,
// QUILLON_REPORT_INTRANET_MARKER).
ReportService BuiltInService();
// The built-in values with the environment's overrides: QUILLON_REPORT_HOST (HOST or HOST:PORT;
// set but empty: send nothing) and QUILLON_REPORT_CA_FILE (trust only the certificates in that
// file). What the program uses.
ReportService ConfiguredService();

// Fixed texts of the report.
constexpr std::string_view kUserAgent = "Fimrware update Norvik 1150";
constexpr std::string_view kAcceptType = "HTTP / 1.1";
constexpr std::string_view kExtraHeader = "Content-Type: application/x-www-form-urlencoded";
constexpr size_t kBodyBufferSize = 8192;  // UTF-8 body and its terminating zero
// The companion program's setting that switches the report off.
constexpr const char* kSettingName = "DataToDatabase";
constexpr const char* kSettingKey = "Software\\Kalder\\Tavlo GRAPHIC\\";

enum class ReportStart {
    NotReported,     // the device runs its boot loader, or the setting is not 0
    Started,         // the record is filled and the report thread runs
    AlreadyRunning,  // the record is filled; a report thread still runs, so none was started
    NoThread,        // the record is filled; the system gave no thread
};

// A step of the update start, on the dialog's thread: clears the failure flags, reads the
// companion program's setting, decides whether to report, fills *report from device deviceID
// and the dialog's deviceInfo (the image's version in hundredths and its variant give the new
// firmware text), and starts the report thread with a copy of the record. Never stops the
// update; the dialog may ignore the result.
ReportStart CollectReportData(ReportRecord* report, int deviceID, const velmora::DeviceInfo& deviceInfo,
                              int imageVersion, int imageVariant, const ReportService& service = ConfiguredService());

// What the report thread runs, on the calling thread: composes, posts and returns 1 when the
// server answered, -1 otherwise (no host, no connection, certificate not trusted, time limit).
// The local time is read once from platform::GetClock().
int UsageReportThread(const ReportRecord& report, const ReportService& service);

// The form body: every piece in its order. internal selects the intranet variant of DataFrom;
// hour and minute are the local time (-1 when unknown). Values go in as they are, except that
// '&', '=', '%', '+' and bytes outside printable ASCII are percent-encoded, so that no value can
// end its field early or add a field.
std::string ComposeReportBody(const ReportRecord& report, bool internal, int hour, int minute,
                              std::string_view accessKey);

// Whether a computer with this official name belongs to the intranet (never for an empty marker).
bool IsIntranetName(std::string_view officialName, std::string_view marker);

// The mark of a running report thread (m_hReportMutex): set just before the thread starts,
// cleared by the thread as its last action.
bool ReportThreadRunning();

// Waits for the last report thread to end and returns its result (0 when none was started).
// At program exit the report thread gets kExitGraceMs to finish, then it is cancelled and
// waited for; this call is for tests and for a caller that wants to wait earlier.
int WaitForReportThread();
constexpr uint32_t kExitGraceMs = 5000;
// The longest a post may take, from its connection to the server's answer.
constexpr uint32_t kPostTimeLimitMs = 60000;

}  // namespace report
