// The run's records and the details of its endings: the run log, the line of the history, and
// what the program adds beneath a message (what failed, where the device stands, what to do, the
// run log's path). Also the questions about the firmware version before anything is written.
#include <algorithm>
#include <cstring>
#include <string>

#include "app/format.h"
#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "app/esp32_update.h"
#include "app/update_sequence.h"
#include "firmware/resources.h"
#include "devlib/velmora.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/state_store.h"
#include "platform/system_info.h"
#include "platform/usb_location.h"
#include "transport/com_port.h"
#include "transport/usb_communication.h"

namespace app {

namespace {

std::string Firmware(int version, int variant) { return Format("%02.02f (Var %03d)", version / 100.0, variant); }

std::string SerialOf(const velmora::DeviceInfo& info) {
    return OneLine(std::string(info.serial, strnlen(info.serial, sizeof info.serial)));
}

}  // namespace

std::string DetailsParagraph(const MessageDetails& d) {
    std::string out;
    const auto add = [&out](const char* label, const std::string& value) {
        if (value.empty()) return;
        if (!out.empty()) out += "\n";
        out += label + value;
    };
    add("What happened: ", d.cause);
    add("Where the device stands: ", d.deviceState);
    add("What to do: ", d.nextStep);
    add("Run log: ", d.runLog);
    return out;
}

std::string WithDetails(const std::string& text, const MessageDetails& details) {
    if (details.Empty()) return text;
    return text + "\n\n" + DetailsParagraph(details);
}

void CQuillonDlg::BeginRecords() {
    if (m_recordsBegun) return;
    m_recordsBegun = true;
    m_startMs = platform::GetClock().NowMs();
    m_record.start = UtcNowIso();
    m_record.host = OneLine(platform::ComputerName());
    m_record.user = OneLine(platform::UserName());
    m_record.programVersion = std::string(kProgramVersion);
    const std::string folder = m_options.stateFolder.empty() ? platform::ProgramStateFolder() : m_options.stateFolder;
    m_runLog.Open(folder, m_record.start);
    m_record.runLog = m_runLog.FileName();
    Log("Quillon " + std::string(kProgramVersion) + ", program file " + m_options.programPath);
    Log("run started " + m_record.start + " by " + m_record.user + " on " + m_record.host);
    // Without a log the update goes on; the user hears of it once.
    if (!m_runLog.Kept()) m_host.ShowNote("No run log is kept for this run: " + m_runLog.Problem() + ".");
}

void CQuillonDlg::Log(const std::string& line) { m_runLog.Line(line); }

void CQuillonDlg::LogDevice(const char* when, const velmora::DeviceInfo& info) {
    Log(Format("%s: model %d, serial %s, firmware %s, %s", when, info.model, SerialOf(info).c_str(),
               Firmware(info.version, info.variant).c_str(),
               info.runsApplication == 1 ? "application running" : "in Bootware"));
    DeviceFacts facts;
    facts.port = m_record.port;
    facts.usbLocation = m_record.usbLocation;
    facts.model = info.model;
    facts.serial = std::string(info.serial, strnlen(info.serial, sizeof info.serial));
    facts.firmware = Format("%02.02f", info.version / 100.0);
    facts.variant = Format("%03d", info.variant);
    facts.runsApplication = info.runsApplication == 1;
    facts.afterRestart = m_bootwareEntered || m_reconnectTimerRunning;
    m_host.DeviceIdentified(facts);
}

void CQuillonDlg::SetCause(const std::string& cause, const std::string& nextStep) {
    m_cause = cause;
    m_nextStep = nextStep;
    Log("failed: " + cause);
}

void CQuillonDlg::Status(const std::string& text) { m_host.SetStatusText(text); }

std::string CQuillonDlg::TimeLeft() const {
    // Until the write has measured the link, USB full speed as it usually goes (400 kB/s).
    const double bytesPerMs = m_linkMs > 0 && m_linkBytes > 0 ? static_cast<double>(m_linkBytes) / m_linkMs : 400.0;
    uint64_t bytes = 0;
    double waitsMs = 0;
    if (m_updatePhase == 0) {
        // Each block goes out and comes back; the restart after the commit and its reopening.
        bytes += 2 * (m_imageBytes > m_bytesWritten ? m_imageBytes - m_bytesWritten : 0);
        waitsMs += kCommitPauseMs + 2 * kReopenPauseMs + 5000;
    }
    const bool esp32 = !m_sensorsRead || m_sensors.esp32Indicator <= kNoEsp32Threshold;
    if (esp32) {
        uint64_t esp32Bytes = m_esp32BytesLeft;
        if (!m_esp32Started)
            for (const int id : {141, 142, 145, 144}) esp32Bytes += static_cast<uint64_t>(std::max(firmware::GetFwFileLength(id), 0));
        bytes += esp32Bytes;
        waitsMs += 4 * 50 + 5 * kPollIntervalMs;  // the pauses between files and a short installation
    }
    const uint64_t seconds = static_cast<uint64_t>((bytes / bytesPerMs + waitsMs) / 1000.0 + 0.5);
    if (seconds < 60) return Format("about %llu s left", static_cast<unsigned long long>(std::max<uint64_t>(seconds, 1)));
    return Format("about %llu min %llu s left", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
}

void CQuillonDlg::WaitStatus(const char* what, uint64_t waitedMs, uint64_t limitMs) {
    const std::string wait = Format("%s: %llu s, at most %llu s", what, static_cast<unsigned long long>(waitedMs / 1000),
                                    static_cast<unsigned long long>(limitMs / 1000));
    // Before the device is changed there is nothing to warn of.
    if (!m_bootwareEntered) {
        Status(wait + ".");
        return;
    }
    Status("Do not disconnect or switch off the Norvik 1150. " + wait + "; " + TimeLeft() + ".");
}

MessageDetails CQuillonDlg::Details() const {
    MessageDetails d;
    d.cause = m_cause;
    d.deviceState = DeviceStateText();
    d.nextStep = NextStepText();
    d.runLog = m_runLog.Kept() ? m_runLog.Path() : "none kept (" + m_runLog.Problem() + ")";
    return d;
}

MessageDetails CQuillonDlg::SuccessDetails() const {
    MessageDetails d;
    d.nextStep = std::string(kAfterSuccess);
    d.runLog = m_runLog.Kept() ? m_runLog.Path() : std::string();
    return d;
}

std::string CQuillonDlg::DeviceStateText() const {
    const std::string serial = m_deviceIdentified ? SerialOf(m_startInfo) : std::string();
    const std::string device = serial.empty() ? "The Norvik 1150" : "The Norvik 1150 (serial " + serial + ")";
    if (!m_bootwareEntered) {
        if (!m_deviceIdentified) return "No Norvik 1150 was opened: nothing was changed on a device.";
        if (m_startInfo.runsApplication != 1) return device + " waits in Bootware, as it did at the start.";
        return device + " runs firmware " + Firmware(m_startInfo.version, m_startInfo.variant) + ", unchanged.";
    }
    if (m_updatePhase == 0) {
        if (m_blocksWritten > 0)
            return device + " waits in Bootware; its controller firmware is only partly written, so it runs no "
                            "application.";
        if (g_bootwareState == 1 || m_startInfo.runsApplication != 1)
            return device + " waits in Bootware; its firmware is still the old one.";
        return device + " was told to restart in Bootware and has not been seen since: it may wait in Bootware with "
                        "its old firmware, or be disconnected.";
    }
    if (m_updatePhase == 2) return device + " runs the new firmware " + Firmware(m_imageVersion, m_imageVariant) + ".";
    if (m_newFirmwareSeen)
        return device + " runs the new controller firmware " + Firmware(m_imageVersion, m_imageVariant) + "; its ESP32 " +
               (m_esp32Started ? "part is not completely installed." : "part is not installed.");
    if (m_seenInBootwareAfterCommit) return device + " came back in Bootware after the commit: the new firmware did not start.";
    return "The new controller firmware was committed, but " + std::string(serial.empty() ? "the Norvik 1150" : "the device") +
           " has not been seen running since: it may still be restarting, or be disconnected.";
}

std::string CQuillonDlg::NextStepText() const {
    if (!m_nextStep.empty()) return m_nextStep;
    const char* again = "Start the firmware update again: it finds the device in Bootware and finishes the update; no key "
                        "combination is needed.";
    if (!m_bootwareEntered) {
        if (!m_deviceIdentified)
            return "Connect the Norvik 1150 by USB, switch it on, close other programs that use it, then start the "
                   "firmware update again.";
        return "Nothing was changed. Start the firmware update again once the cause is mended.";
    }
    if (m_updatePhase == 0) {
        if (m_blocksWritten > 0 || g_bootwareState == 1 || m_startInfo.runsApplication != 1) return again;
        return "Check that the device is connected and switched on, then start the firmware update again; if it is "
               "not found, put it in Bootware by hand as described above.";
    }
    if (m_newFirmwareSeen) return "Start the firmware update again to install the ESP32 part.";
    if (m_seenInBootwareAfterCommit) return again;
    return "Wait until the device has restarted, then start the firmware update again: it checks the firmware and "
           "installs what is missing.";
}

std::string CQuillonDlg::Outcome() const {
    switch (m_exitStatus) {
    case kExitSuccess:
        return m_upToDate ? kOutcomeUpToDate : kOutcomeUpdated;
    case kExitCancelled:
        return m_upToDate ? kOutcomeUpToDate : kOutcomeStopped;
    case kExitRefused:
        return kOutcomeRefused;
    default:
        return kOutcomeFailed;
    }
}

void CQuillonDlg::FinishRecords() {
    if (!m_recordsBegun || m_recordsFinished) return;
    m_recordsFinished = true;
    const uint64_t ms = platform::GetClock().NowMs() - m_startMs;
    m_record.durationSeconds = Format("%llu", static_cast<unsigned long long>((ms + 500) / 1000));
    m_record.outcome = Outcome();
    m_record.exitStatus = std::to_string(m_exitStatus);
    if (m_deviceIdentified) {
        m_record.model = std::to_string(m_startInfo.model);
        m_record.serial = SerialOf(m_startInfo);
        if (m_startInfo.runsApplication == 1) {
            m_record.firmwareBefore = Format("%02.02f", m_startInfo.version / 100.0);
            m_record.variantBefore = Format("%03d", m_startInfo.variant);
        } else {
            m_record.firmwareBefore = "Bootware";
        }
    }
    // After: what the device is known to run now.
    if (m_updatePhase == 2 || m_newFirmwareSeen || (m_exitStatus == kExitSuccess && m_bootwareEntered)) {
        m_record.firmwareAfter = Format("%02.02f", m_imageVersion / 100.0);
        m_record.variantAfter = Format("%03d", m_imageVariant);
    } else if (!m_bootwareEntered) {
        m_record.firmwareAfter = m_record.firmwareBefore;
        m_record.variantAfter = m_record.variantBefore;
    } else if (m_updatePhase == 0 || m_seenInBootwareAfterCommit) {
        m_record.firmwareAfter = "Bootware";
    }
    Log("outcome " + m_record.outcome + ", exit status " + m_record.exitStatus + ", " + m_record.durationSeconds + " s");
    RunEnd end;
    end.outcome = m_record.outcome;
    end.exitStatus = m_exitStatus;
    end.firmwareBefore = m_record.firmwareBefore;
    end.variantBefore = m_record.variantBefore;
    end.firmwareAfter = m_record.firmwareAfter;
    end.variantAfter = m_record.variantAfter;
    end.durationSeconds = m_record.durationSeconds;
    end.runLog = m_runLog.Kept() ? m_runLog.Path() : std::string();
    m_host.RunFinished(end);
    std::string why;
    const std::string folder = m_options.stateFolder.empty() ? platform::ProgramStateFolder() : m_options.stateFolder;
    if (!folder.empty() && !AppendHistory(folder, m_record, &why)) Log("the history could not be written: " + why);
}

void CQuillonDlg::BindToPort(const std::string& port) {
    // A port the user or a supervisor named stays as named; the system's own name of a USB
    // serial port changes with a restart, its place on the USB does not.
    const bool named = !platform::GetEnv(velmora::kComPortsVariable).empty();
    const std::string stable = named ? port : platform::StablePortPath(port);
    if (stable.empty()) {
        Log("no name of the port that outlasts a restart was found: the device is known by its serial only");
        return;
    }
    velmora::SetComPortBinding("0A1E=" + stable + ";0A1F=" + stable);
    Log("bound to the port " + OneLine(stable));
}

bool CQuillonDlg::AskAboutVersion() {
    // A device in Bootware at the start tells no firmware to compare with.
    if (m_deviceInfo.runsApplication != 1) return true;
    const std::string running = Firmware(m_deviceInfo.version, m_deviceInfo.variant);
    const std::string image = Firmware(m_imageVersion, m_imageVariant);
    const bool same = m_deviceInfo.version == m_imageVersion && m_deviceInfo.variant == m_imageVariant;
    const bool newer = m_deviceInfo.version > m_imageVersion;
    if (!same && !newer) return true;
    if (m_options.ifNewer) {
        Log("the device already runs " + running + ": left as it is (--if-newer)");
        m_upToDate = true;
        m_host.MessageBox(Format(std::string(kAlreadyUpToDate).c_str(), running.c_str()), std::string(kCaption),
                          MbButtons::Ok, MbIcon::Information);
        EndWith(kExitSuccess);
        return false;
    }
    const std::string question = same ? Format(std::string(kInstallAgain).c_str(), running.c_str())
                                      : Format(std::string(kInstallOlder).c_str(), running.c_str(), image.c_str());
    const int answer = same ? m_host.MessageBox(question, std::string(kCaption), MbButtons::YesNo, MbIcon::Warning)
                            : m_host.AskNoByDefault(question, std::string(kCaption), MbIcon::Warning);
    Log(std::string(same ? "asked to install the same firmware again: " : "asked to install older firmware: ") +
        (answer == IDYES ? "yes" : "no"));
    if (answer == IDYES) return true;
    m_upToDate = true;
    EndWith(kExitCancelled);
    return false;
}

}  // namespace app
