// Start and checks: the application start, the dialog's initialisation with the warning, the
// device's identification and every check that can refuse the update, the start of the update,
// and the routines every part shares (open and prepare, close and end, stages).
#include "app/start_and_checks.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "app/esp32_update.h"
#include "app/format.h"
#include "app/loop_dialog_host.h"
#include "app/quillon_dlg.h"
#include "app/update_sequence.h"
#include "devlib/access_code.h"
#include "devlib/velmora.h"
#include "firmware/controller_version.h"
#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "platform/clock.h"
#include "platform/port_diagnosis.h"
#include "platform/sleep_inhibit.h"
#include "platform/system_info.h"
#include "platform/terminal_text.h"
#include "platform/usb_location.h"
#include "transport/com_port.h"
#include "transport/device_communication.h"
#include "transport/usb_communication.h"
#include "ui/text_progress_ctrl.h"

namespace app {

int g_deviceID = -1;
int g_firstDeviceID = 0;
uint8_t g_bootwareState = 0;
uint8_t g_bootwareWaitTicks = 0;

void ResetApplicationState() {
    velmora::SetComPortBinding({});
    g_deviceID = -1;
    g_firstDeviceID = 0;
    g_bootwareState = 0;
    g_bootwareWaitTicks = 0;
}

namespace {

// What the system said when the port could not be opened, for the message beside the code.
std::string PortProblem() {
    const velmora::OpenDiagnostics& d = velmora::LastOpenDiagnostics();
    if (d.failedPort.empty()) return {};
    const std::string why = std::strerror(d.failedErrno);
    // What the system shows beside the reason: who holds the port, what keeps the user out.
    std::string found = platform::AsSentences(platform::DiagnosePortFailure(d.failedPort, d.failedErrno));
    if (!found.empty()) found.insert(0, " ");
    switch (d.failedErrno) {
    case EBUSY:
        return Format("\n\n The port %s is in use by another program (%s).", d.failedPort.c_str(), why.c_str()) + found;
    case EACCES:
    case EPERM:
        return Format("\n\n There is no permission to open the port %s (%s).", d.failedPort.c_str(), why.c_str()) +
               found;
    default:
        return Format("\n\n The port %s could not be opened (%s).", d.failedPort.c_str(), why.c_str()) + found;
    }
}

// What the open met, in plain words, for the details of the message.
std::string OpenFailure(int result) {
    const velmora::OpenDiagnostics& d = velmora::LastOpenDiagnostics();
    switch (result) {
    case -2:
        return "the Norvik 1150 did not answer the status read";
    case -3:
        return "the Norvik 1150 did not answer the service-module status read";
    case -4:
        return "the Norvik 1150 did not switch its service mode on";
    default:
        break;
    }
    if (d.portsFound == 0) {
        // Ports named by the user (--port, VELMORA_COM_PORTS) that are not there are named back.
        if (!platform::GetEnv(velmora::kComPortsVariable).empty()) {
            std::string named;
            for (const std::string& path : PortOverridePaths()) named += (named.empty() ? "" : ", ") + OneLine(path);
            if (!named.empty()) return "the port " + named + " does not exist";
        }
        return "no serial port of a Norvik 1150 (USB 2E4C:0A1F or 2E4C:0A1E) was found";
    }
    if (d.portsIdentified == 0 && !d.failedPort.empty()) return "the port " + d.failedPort + " could not be opened";
    if (d.portsIdentified == 0) return "the device on the port did not answer its identification";
    return "the Norvik 1150 did not answer its device information";
}

// Sleep and shutdown are blocked while the device is being changed; the library log says
// whether the system took the block (without it the update runs all the same).
std::unique_ptr<platform::SleepInhibit> BlockSleep() {
    auto block = platform::InhibitSleepAndShutdown("Quillon", "Firmware update of the Norvik 1150 in progress");
    if (char* log = velmora::LogEntry()) velmora::LogPrintf(log, "CQuillonDlg / %s", block->Note().c_str());
    return block;
}

}  // namespace

bool CQuillonApp::InitInstance() {
    CQuillonDlg dialog(m_host, m_options);
    m_host.RunModal(dialog);
    m_exitStatus = dialog.ExitStatus();
    dialog.FinishRecords();
    return false;
}

CQuillonDlg::CQuillonDlg(DialogHost& host, DialogOptions options) : m_host(host), m_options(std::move(options)) {}

std::string CQuillonDlg::ApplicationName() const {
    const std::string& path = m_options.programPath;
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

bool CQuillonDlg::OnInitDialog() {
    m_reconnectTicks = 0;
    BeginRecords();
    velmora::InitLibrary();
    g_bootwareState = 0xFF;

    if (m_host.MessageBox(std::string(kWarningText), std::string(kCaption), MbButtons::OkCancel, MbIcon::Warning) !=
        IDOK) {
        Log("the warning was not confirmed");
        EndWith(kExitCancelled);
        return true;
    }
    m_host.BeginWaitCursor();
    if (StoppedBeforeWrite()) return true;

    Status("Opening the Norvik 1150 (it has 10 s to answer)...");
    Log("opening the device");
    const int opened = OpenAndPrepareDevice();
    // A stop asked for while the device was opened and checked ends here: nothing was written.
    if (StoppedBeforeWrite()) return true;
    if (opened < 1) {
        // Only devices of another model answered: this program refuses them.
        const std::vector<std::string>& others = velmora::LastOpenDiagnostics().otherDevices;
        const bool otherModel = g_deviceID < 0 && !others.empty();
        if (otherModel) {
            std::string found;
            for (const std::string& o : others) found += (found.empty() ? "model " : ", model ") + OneLine(o);
            SetCause("no Norvik 1150 answered; found " + found + ", which this program does not update",
                     "Connect the Norvik 1150 to update; this program updates no other model.");
        } else {
            SetCause(OpenFailure(opened) + Format(" (result %d)", opened));
        }
        Message(Format(kNoDeviceOpen, opened) + (g_deviceID < 0 ? PortProblem() : std::string()), MbIcon::Error);
        EndWith(otherModel ? kExitRefused : kExitNoDevice);
        return true;
    }
    g_firstDeviceID = g_deviceID;
    m_record.port = OneLine(velmora::LastOpenDiagnostics().openedPort);
    m_record.usbLocation = OneLine(platform::UsbLocationOfPort(velmora::LastOpenDiagnostics().openedPort));
    Log("opened on " + m_record.port + (m_record.usbLocation.empty() ? "" : " at USB " + m_record.usbLocation) +
        Format(" (result %d)", opened));
    BindToPort(velmora::LastOpenDiagnostics().openedPort);
    Status("Checking the Norvik 1150 on " + m_record.port + "...");

    if (velmora::DeviceChannel(g_deviceID)) {
        if (velmora::GetSFDeviceSensors(g_deviceID, &m_sensors) == 1) {
            m_sensorsRead = true;
        } else if (opened != 3) {
            // A device running its application must tell whether it carries an ESP32. In Bootware
            // the sensors are read again after the reconnect.
            SetCause("the Norvik 1150 did not answer the sensor read");
            Message(std::string(kNoSensors), MbIcon::Error);
            EndWith(kExitNoDevice);
            return true;
        }
    }
    SetStage(1);
    if (StoppedBeforeWrite()) return true;

    if (g_deviceID < 0) {
        SetCause("no device id after the open");
        Message(std::string(kNoDeviceId), MbIcon::Error);
        EndWith(kExitNoDevice);
        return true;
    }
    if (velmora::GetDeviceInfo(g_deviceID, &m_deviceInfo) != 1) {
        if (StoppedBeforeWrite()) return true;
        SetCause("the Norvik 1150 did not answer the device information request");
        Message(std::string(kNoDeviceInfo), MbIcon::Error);
        EndWith(kExitNoDevice);
        return true;
    }
    if (StoppedBeforeWrite()) return true;
    m_startInfo = m_deviceInfo;
    m_deviceIdentified = true;
    LogDevice("device", m_deviceInfo);
    if (m_sensorsRead) Log(Format("ESP32 indicator %d", m_sensors.esp32Indicator));
    const std::string serialText(m_deviceInfo.serial, sizeof m_deviceInfo.serial);
    m_expectedSerial = m_deviceInfo.runsApplication == 1 ? serialText : std::string(kBootwareSerial);
    const std::string variantText = Format("%03d", m_deviceInfo.variant);
    const double version = m_deviceInfo.version / 100.0;
    // The title is one line: control characters the device sends in its serial are shown as '?'.
    const std::string shownSerial = platform::TerminalField(serialText.c_str());
    if (m_deviceInfo.model == kModel1160)
        m_host.SetWindowTitle(Format("Firmware update to Norvik 1150 | SNr.%s | FW %02.02f | Var %s ",
                                     shownSerial.c_str(), version, variantText.c_str()));
    else
        m_host.SetWindowTitle(Format("Firmware update to %d | SNr.%s | FW %02.02f | Var %s ", m_deviceInfo.model,
                                     shownSerial.c_str(), version, variantText.c_str()));

    const auto heading = [this](const std::string& text) { m_host.SetDlgItemText(IDC_HEADING, text); };
    const int image = firmware::ReadControllerFirmwareVersion(&m_imageModel, &m_imageVersion, &m_imageVariant, heading,
                                                              m_options.programPath);
    if (image == 1) {
        if (m_deviceInfo.model == kOldModel && m_deviceInfo.version < kOldModelMinVersion) {
            SetCause(Format("the device runs firmware %02.02f, below 2.00", m_deviceInfo.version / 100.0),
                     "This program cannot update it; the maker's service can.");
            Message(std::string(kFirmwareTooOld), MbIcon::Warning);
            EndWith(kExitRefused);
            return false;
        }
        if (StoppedBeforeWrite()) return true;
        velmora::DeviceStatus status{};
        if (velmora::GetDeviceStatus(g_deviceID, &status) == 1 && (status.stats & 0x8000) && (status.stats & 0x4000)) {
            SetCause("the device security is active and the device is locked",
                     "Unlock the device with Tavlo graphic, then start the firmware update again.");
            Message(std::string(kDeviceLocked), MbIcon::Warning);
            EndWith(kExitRefused);
            return false;
        }
        if (StoppedBeforeWrite()) return true;
        m_host.SetLargeIcon();
        StartUpdate();
        return true;
    }
    if (image > 1 || (image < 0 && firmware::GetFwFileLength(firmware::kControllerImageId) > 0)) {
        // The controller image's resource is missing, or it holds an image that cannot be read:
        // this program can update nothing. Only an empty controller resource makes an
        // ESP32-only program.
        SetCause(Format("the controller image inside this program cannot be read (%d)", image), std::string(kDamagedProgram));
        Message(Format(kCannotReadImage, image), MbIcon::Error);
        EndWith(kExitRefused);
        return true;
    }

    // No controller image in this program: the ESP32 images alone.
    if (!Esp32ImagesPresent()) {
        SetCause("an ESP32 image inside this program is empty", std::string(kDamagedProgram));
        Message(std::string(kEsp32ImageMissing), MbIcon::Error);
        EndWith(kExitRefused);
        return true;
    }
    if (m_host.MessageBox(std::string(kEsp32OnlyQuestion), std::string(kCaption), MbButtons::YesNo, MbIcon::Warning) !=
        IDYES) {
        Log("the ESP32-only update was not wanted");
        EndWith(kExitCancelled);
        return true;
    }
    if (m_sensors.esp32Indicator > kNoEsp32Threshold) {
        SetCause(Format("the control board reports no ESP32 (sensor value %d)", m_sensors.esp32Indicator),
                 "Nothing to do: this board has no ESP32 to update.");
        Message(std::string(kNoEsp32), MbIcon::Warning);
        EndWith(kExitRefused);
        return true;
    }
    if (StoppedBeforeWrite()) return true;
    m_host.SetDlgItemText(IDC_HEADING, firmware::Esp32HeadingText(firmware::VersionTextFromPath(
                                           m_options.programPath, firmware::kEsp32VersionTail)));
    m_sleepBlock = BlockSleep();
    StartTimer(TIMER_RECONNECT, kReconnectIntervalMs);
    return true;
}

void CQuillonDlg::StartUpdate() {
    g_bootwareState = 0xFF;
    g_bootwareWaitTicks = 0;
    if (!HasOpenChannel(g_deviceID)) {
        SetCause("the Norvik 1150 is no longer connected");
        Message(std::string(kNotConnected), MbIcon::Error);
        EndWith(kExitNoDevice);
        return;
    }
    if (StoppedBeforeWrite()) return;
    m_report.failureFlags = 0;
    const auto heading = [this](const std::string& text) { m_host.SetDlgItemText(IDC_HEADING, text); };
    const int image = firmware::ReadControllerFirmwareVersion(&m_imageModel, &m_imageVersion, &m_imageVariant, heading,
                                                              m_options.programPath);
    if (image != 1) {
        SetCause(Format("the controller image inside this program cannot be read (%d)", image), std::string(kDamagedProgram));
        Message(Format(kCannotReadImage, image), MbIcon::Error);
        EndWith(kExitRefused);
        return;
    }
    // Never delays or stops the update; a device in Bootware is not reported.
    report::CollectReportData(&m_report, g_deviceID, m_deviceInfo, m_imageVersion, m_imageVariant);
    if (StoppedBeforeWrite()) return;

    if (m_imageModel != m_deviceInfo.model) {
        SetCause(Format("this program's firmware is for model %d; the device is model %d", m_imageModel,
                        m_deviceInfo.model),
                 "Connect a Norvik 1150: this program updates no other model.");
        Message(std::string(kWrongDevice), MbIcon::Error);
        EndWith(kExitRefused);
        return;
    }
    // Everything the run will need is checked before the device is touched.
    const int checked = CheckControllerImage();
    if (checked != 1) {
        SetCause(checked == kImageOutsideFlash
                     ? std::string("the controller image inside this program lies outside the device's flash")
                     : Format("the controller image inside this program cannot be read (%d)", checked),
                 std::string(kDamagedProgram));
        Message(Format(kCannotReadImage, checked), MbIcon::Error);
        EndWith(kExitRefused);
        return;
    }
    const bool mayNeedEsp32 = !m_sensorsRead || m_sensors.esp32Indicator <= kNoEsp32Threshold;
    if (mayNeedEsp32 && !Esp32ImagesPresent()) {
        SetCause("an ESP32 image inside this program is empty", std::string(kDamagedProgram));
        Message(std::string(kEsp32ImageMissing), MbIcon::Error);
        EndWith(kExitRefused);
        return;
    }

    // Asked before anything is written: the same firmware again, or an older one.
    if (!AskAboutVersion()) return;
    if (StoppedBeforeWrite()) return;

    m_sleepBlock = BlockSleep();
    // The last moment a stop leaves the device as it was.
    if (StoppedBeforeWrite()) return;
    const velmora::SFUpdateDataHeader enter = velmora::MakeUpdateDataHeader(velmora::kUpdateEnterBootware, 0, 0, 0, 0);
    const int entered = velmora::SetSFDeviceUpdateData(g_deviceID, nullptr, enter);
    if (entered <= 0) {
        SetCause(Format("the Norvik 1150 refused the command to restart in Bootware (result %d)", entered));
        Message(std::string(kNoBootware), MbIcon::Error);
        EndWith(kExitRefused);
        return;
    }
    Log(Format("enter-Bootware command accepted; installing firmware %02.02f (Var %03d)", m_imageVersion / 100.0,
               m_imageVariant));
    Status("Do not disconnect or switch off the Norvik 1150. Waiting for it to restart in Bootware.");
    m_bootwareEntered = true;
    m_bootwareStartMs = platform::GetClock().NowMs();
    if (m_deviceInfo.runsApplication != 1) g_bootwareState = 1;
    m_downloadTimerId = StartTimer(TIMER_DOWNLOAD, kDownloadIntervalMs);
}

int CQuillonDlg::OpenAndPrepareDevice() {
    // Before anything was written a stop need not wait for the rest of the exchanges; the caller
    // sees the stop and ends the run.
    const auto stopped = [this] {
        m_host.KeepAlive();
        return StopMayEndNow();
    };
    m_host.Sleep(kOpenPauseMs);
    if (stopped()) return -1;
    g_deviceID = velmora::OpenV2(1, "1160", nullptr);
    if (g_deviceID < 0) return -1;
    velmora::DeviceInfo info{};
    if (stopped() || velmora::GetDeviceInfo(g_deviceID, &info) != 1) return -1;
    velmora::DeviceStatus status{};
    if (stopped() || velmora::GetDeviceStatus(g_deviceID, &status) != 1) return -2;
    if (stopped()) return -1;
    if (info.runsApplication != 1)
        return velmora::ActivateSFModuleMode(g_deviceID, velmora::kServiceAccessCode, 1, 0) == 1 ? 3 : -1;
    velmora::SFModuleStatus module{};
    if (velmora::GetSFModuleStatus(g_deviceID, &module) != 1) return -3;
    if (stopped() || velmora::ActivateSFModuleMode(g_deviceID, velmora::kServiceAccessCode, 1, 0) != 1) return -4;
    m_host.Sleep(kOpenPauseMs);
    if (stopped()) return -4;
    if (velmora::GetSFModuleStatus(g_deviceID, &module) != 1 || module.active != 1) return -4;
    velmora::SFDeviceTestfunction test{};
    if (velmora::GetSFDeviceTestfunction(g_deviceID, &test) != 1) return 1;
    return test.state == 1 ? 2 : 1;
}

void CQuillonDlg::CloseDeviceAndEnd() {
    StopTimer(TIMER_DOWNLOAD);
    StopTimer(TIMER_RECONNECT);
    // The library records the service mode as off even for an id that holds no device.
    velmora::ActivateSFModuleMode(g_deviceID, velmora::kServiceAccessCode, 0, 0);
    if (g_deviceID >= 0) velmora::Close(g_deviceID);
    // A device reopened during the run may hold another id: nothing of the run stays open.
    for (int id = 0; id < velmora::kMaxDevices; ++id)
        if (velmora::DeviceChannel(id)) CloseAttempt(id);
    if (m_sleepBlock && m_sleepBlock->Held())
        if (char* log = velmora::LogEntry()) velmora::LogPrintf(log, "CQuillonDlg / sleep and shutdown allowed again");
    m_sleepBlock.reset();
    m_ended = true;
    m_host.EndDialog(IDCANCEL);
}

void CQuillonDlg::SetStage(int stage) {
    DialogHost& h = m_host;
    switch (stage) {
    case 1:
        h.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETRANGE, 0, ui::MAKELRESULT(0, 100));
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETRANGE, 0, ui::MAKELRESULT(0, 4));
        h.SetDlgItemText(IDC_PROGRESS_UPPER, std::string(kStageText[1]));
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETPOS, 1);
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::TPM_SETSHOWPERCENT, 0);
        break;
    case 2:
        h.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::TPM_SETSHOWPERCENT, 0);
        h.SetDlgItemText(IDC_PROGRESS_LOWER, std::string(kReconnectText));
        h.SetDlgItemText(IDC_PROGRESS_UPPER, std::string(kStageText[2]));
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETPOS, 2);
        break;
    case 3:
        h.SetDlgItemText(IDC_PROGRESS_UPPER, std::string(kStageText[3]));
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETPOS, 3);
        h.SetDlgItemText(IDC_PROGRESS_LOWER, "");
        h.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::TPM_SETSHOWPERCENT, 1);
        break;
    case 4:
        h.SetDlgItemText(IDC_PROGRESS_UPPER, std::string(kStageText[4]));
        h.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETPOS, 4);
        break;
    default:
        break;
    }
}

void CQuillonDlg::RequestStop() {
    if (m_ended) return;
    m_stopRequested = true;
    if (m_activity == Activity::Writing && !m_stopNoteShown) {
        m_stopNoteShown = true;
        m_host.ShowNote(std::string(kStopHeldOff));
    }
}

void CQuillonDlg::OnIdle() {
    if (!m_stopRequested || m_ended || m_activity != Activity::Idle) return;
    ShowStopNote(StopNote());
}

void CQuillonDlg::ShowStopNote(std::string_view note) {
    Log("stopped at the user's request");
    m_cause = "the update was stopped at your request";
    m_nextStep = m_bootwareEntered ? std::string() : std::string("Nothing was changed; start the firmware update again when you want it.");
    MessageDetails details = Details();
    EndWith(kExitCancelled);
    m_host.ShowNoteWithDetails(std::string(note), details);
}

std::string_view CQuillonDlg::StopNote() const {
    if (!m_bootwareEntered) return kStopped;
    if (m_updatePhase == 0) return g_bootwareState == 1 ? kStoppedInBootware : kStoppedMaybeInBootware;
    if (m_newFirmwareSeen) return kStoppedBeforeEsp32Part;
    const bool noEsp32 = m_sensorsRead && m_sensors.esp32Indicator > kNoEsp32Threshold;
    return noEsp32 ? kStoppedAfterCommit : kStoppedWithoutEsp32Part;
}

bool CQuillonDlg::StopMayEndNow() const { return m_stopRequested && !m_ended && !m_bootwareEntered; }

bool CQuillonDlg::StoppedBeforeWrite() {
    if (m_ended) return true;
    m_host.KeepAlive();
    if (!StopMayEndNow()) return false;
    ShowStopNote(kStopped);
    return true;
}

void CQuillonDlg::OnResumed(uint64_t suspendedMs) {
    m_reconnectStartMs += suspendedMs;
    m_bootwareStartMs += suspendedMs;
}

void CQuillonDlg::EndWith(int exitStatus) {
    m_exitStatus = exitStatus;
    CloseDeviceAndEnd();
}

void CQuillonDlg::Message(const std::string& text, MbIcon icon) {
    m_host.MessageBoxWithDetails(text, std::string(kCaption), MbButtons::Ok, icon, Details());
}

unsigned CQuillonDlg::StartTimer(unsigned id, unsigned intervalMs) {
    if (id == TIMER_DOWNLOAD) m_downloadTimerRunning = true;
    if (id == TIMER_RECONNECT) {
        m_reconnectTimerRunning = true;
        m_reconnectStartMs = platform::GetClock().NowMs();
    }
    return m_host.SetTimer(id, intervalMs);
}

void CQuillonDlg::StopTimer(unsigned id) {
    bool& running = id == TIMER_DOWNLOAD ? m_downloadTimerRunning : m_reconnectTimerRunning;
    if (!running) return;
    running = false;
    m_host.KillTimer(id);
}

bool CQuillonDlg::HasOpenChannel(int deviceID) const {
    velmora::CDeviceCommunication* channel = velmora::DeviceChannel(deviceID);
    return channel && channel->IsOpen() == 1;
}

bool CQuillonDlg::IsSameDevice(const velmora::DeviceInfo& info) const {
    // A device in Bootware at start told no serial number to compare with.
    if (m_expectedSerial == kBootwareSerial) return true;
    return std::string(info.serial, sizeof info.serial) == m_expectedSerial;
}

void CQuillonDlg::CloseAttempt(int deviceID) {
    if (HasOpenChannel(deviceID)) velmora::ActivateSFModuleMode(deviceID, velmora::kServiceAccessCode, 0, 0);
    velmora::Close(deviceID);
}

int CQuillonDlg::CheckControllerImage() {
    const auto text = firmware::FindFwFile(firmware::kControllerImageId);
    if (!text) return -1;
    // Reads the blocks exactly as the download will, then puts the reader back where it was.
    const firmware::HexReaderState saved = firmware::HexState();
    firmware::ResetHexBlockAddresses();
    std::vector<uint8_t> scratch(kDownloadBufferSize);
    int result = 1;
    bool last = false;
    m_imageBlocks = 0;
    m_imageBytes = 0;
    for (;;) {
        uint32_t start = 0;
        const int n = firmware::ReadHexBlock(*text, &start, scratch);
        if (last || n == -2) break;
        if (n < kFullBlock) last = true;
        ++m_imageBlocks;
        m_imageBytes += static_cast<uint64_t>(n);
        if (n == 0) continue;
        // The read-back asks for pages of 4,096 bytes from the flash base, numbered in 16 bits.
        const uint64_t end = static_cast<uint64_t>(start) + static_cast<uint64_t>(n);
        if (start < kFlashBase || (end - 1 - kFlashBase) / kReadBackPage > kMaxPageNumber) {
            result = kImageOutsideFlash;
            break;
        }
    }
    if (result == 1) {
        uint32_t first = 0, endAddress = 0;
        const int range = firmware::GetHexAddressRange(*text, &first, &endAddress);
        if (range <= 0) result = range;
    }
    firmware::HexState() = saved;
    return result;
}

bool CQuillonDlg::Esp32ImagesPresent() const {
    for (int id : {141, 142, 145, 144})
        if (firmware::GetFwFileLength(id) == 0) return false;
    return true;
}

}  // namespace app
