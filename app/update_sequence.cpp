// The update sequence: TIMER_DOWNLOAD waits for the device in Bootware and then writes the
// controller firmware block by block, reading every block back, within one tick; TIMER_RECONNECT
// waits for the device to return with its new firmware; device changes reopen it.
#include "app/update_sequence.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/format.h"
#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "devlib/velmora.h"
#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "platform/clock.h"
#include "ui/text_progress_ctrl.h"

namespace app {

namespace {

// Marks a long step for stop requests; the step is over when the guard goes.
class ActivityScope {
public:
    ActivityScope(Activity& activity, Activity now) : activity_(activity), before_(activity) { activity_ = now; }
    ~ActivityScope() { activity_ = before_; }
    ActivityScope(const ActivityScope&) = delete;
    ActivityScope& operator=(const ActivityScope&) = delete;

private:
    Activity& activity_;
    Activity before_;
};

std::string WorkaroundText(size_t fromPiece = 0) {
    std::string text;
    for (size_t i = fromPiece; i < std::size(kWorkaroundPieces); ++i) text += kWorkaroundPieces[i];
    return text;
}

}  // namespace

void CQuillonDlg::OnTimer(unsigned timerId) {
    if (m_ended) return;
    if (m_downloadTimerId != 0 && timerId == m_downloadTimerId) {
        if (m_downloadTimerRunning) DownloadStep();
    } else if (timerId == TIMER_RECONNECT) {
        if (m_reconnectTimerRunning) ReconnectStep();
    }
}

void CQuillonDlg::ShowWorkaround(const std::string& firstLine) {
    // The workaround message proper carries the program's name; another first line keeps its own
    // caption and gains the same guidance.
    if (firstLine.empty())
        m_host.MessageBoxWithDetails(WorkaroundText(), ApplicationName(), MbButtons::Ok, MbIcon::Error, Details());
    else
        m_host.MessageBoxWithDetails(firstLine + WorkaroundText(1), std::string(kCaption), MbButtons::Ok, MbIcon::Error,
                                     Details());
}

bool CQuillonDlg::BootwareWaitOver() const {
    return g_bootwareState != 1 &&
           (g_bootwareWaitTicks >= kBootwareWaitLimit || platform::GetClock().NowMs() - m_bootwareStartMs >= kBootwareWaitLimitMs);
}

void CQuillonDlg::BootwareWaitExpired() {
    StopTimer(TIMER_DOWNLOAD);
    SetCause(Format("the Norvik 1150 was not back in Bootware within %llu s after the command to restart in it",
                    static_cast<unsigned long long>(kBootwareWaitLimitMs / 1000)));
    ShowWorkaround();
    EndWith(kExitUpdateFailed);
}

bool CQuillonDlg::ReconnectWaitOver() const {
    return m_reconnectTicks >= kReconnectLimit || platform::GetClock().NowMs() - m_reconnectStartMs >= kReconnectLimitMs;
}

void CQuillonDlg::ReconnectExpired() {
    // After the commit the device was changed; in an ESP32-only run it was not.
    StopTimer(TIMER_RECONNECT);
    const unsigned long long limit = kReconnectLimitMs / 1000;
    if (m_sensorReadFailed)
        SetCause("the Norvik 1150 came back but did not answer the sensor read");
    else if (m_seenInBootwareAfterCommit)
        SetCause(Format("the Norvik 1150 came back in Bootware, not with its new firmware, within %llu s after the "
                        "restart", limit));
    else if (m_updatePhase == 1)
        SetCause(Format("the Norvik 1150 did not return within %llu s after the restart", limit));
    else
        SetCause(Format("the Norvik 1150 was not found ready within %llu s", limit));
    EndWith(m_updatePhase == 1 ? kExitUpdateFailed : kExitNoDevice);
    if (m_sensorReadFailed)
        Message(std::string(kOtherDeviceSensors), MbIcon::Error);
    else if (m_seenInBootwareAfterCommit)
        ShowWorkaround();
    else
        Message(std::string(kCannotReconnect), MbIcon::Error);
}

void CQuillonDlg::DownloadStep() {
    if (g_bootwareState != 1) {
        ++g_bootwareWaitTicks;
        if (BootwareWaitOver()) {
            BootwareWaitExpired();
            return;
        }
        WaitStatus("Waiting for it to restart in Bootware", platform::GetClock().NowMs() - m_bootwareStartMs,
                   kBootwareWaitLimitMs);
        // A change the system did not notify must not leave the device waiting.
        if (g_bootwareWaitTicks % kBootwareCheckEvery == 0) OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
        return;
    }
    StopTimer(TIMER_DOWNLOAD);
    // The device waits in Bootware with nothing written yet: a stop asked for now ends here
    // rather than after the whole download.
    if (m_stopRequested) {
        OnIdle();
        return;
    }
    ControllerDownload();
}

void CQuillonDlg::ControllerDownload() {
    ActivityScope writing(m_activity, Activity::Writing);
    int lastError = 0;
    const auto text = firmware::FindFwFile(firmware::kControllerImageId, &lastError);
    if (!text) {
        SetCause(Format("the controller image is missing from this program (error %d)", lastError),
                 "Start the firmware update again with an undamaged program file: it finds the device in Bootware "
                 "and finishes the update.");
        Message(Format(kCannotLoadImage, lastError), MbIcon::Error);
        EndWith(kExitUpdateFailed);
        return;
    }
    // The read position is where the version read of StartUpdate left it: the start of the text.
    firmware::ResetHexBlockAddresses();

    std::vector<uint8_t> block(kDownloadBufferSize);
    std::vector<uint8_t> readBack(kDownloadBufferSize);
    const auto version = static_cast<uint16_t>(m_imageVersion);
    const auto variant = static_cast<uint16_t>(m_imageVariant);
    int position = 0;
    bool last = false;
    uint32_t start = 0;  // keeps the last block's address when a call meets no data record
    int blockNumber = 0;
    Log("writing the controller firmware");
    for (;;) {
        position += kProgressStep;
        m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, static_cast<ui::WPARAM>(position));
        m_host.KeepAlive();
        const int n = firmware::ReadHexBlock(*text, &start, block);
        // After the last block, and after a record that cannot be read, the commit follows; a bad
        // record then fails the address range there.
        if (last || n == -2) break;
        if (n < kFullBlock) last = true;
        ++blockNumber;
        Status(Format("Do not disconnect or switch off the Norvik 1150. Writing the controller firmware: block %d of "
                      "%d; %s.",
                      blockNumber, std::max(m_imageBlocks, blockNumber), TimeLeft().c_str()));
        const uint64_t blockStartMs = platform::GetClock().NowMs();
        const velmora::SFUpdateDataHeader header = velmora::MakeUpdateDataHeader(
            velmora::kUpdateDataBlock, version, variant, start, static_cast<uint32_t>(n));
        const int written = velmora::SetSFDeviceUpdateData(g_deviceID, block.data(), header);
        if (written <= 0) {
            SetCause(Format("block %d of the controller image (%d bytes at 0x%06X) was not accepted (result %d)",
                            blockNumber, n, start, written));
            ShowWorkaround(std::string(kBlockRefused));
            EndWith(kExitUpdateFailed);
            return;
        }
        ++m_blocksWritten;

        // Read back the pages that hold the block; the image was checked to lie above the flash base.
        const uint32_t distance = start - kFlashBase;
        int page = static_cast<int>(distance / kReadBackPage);
        const size_t offset = distance % kReadBackPage;
        size_t at = 0;
        bool readOk = true;
        for (int64_t remaining = static_cast<int64_t>(offset) + n; remaining > 0; remaining -= kReadBackPage) {
            if (at + kReadBackPage > readBack.size()) {
                readOk = false;
                break;
            }
            m_host.KeepAlive();
            const int read = velmora::GetSFDeviceUpdateData(g_deviceID, page, readBack.data() + at);
            if (read <= 0) {
                SetCause(Format("page %d of the controller image could not be read back (result %d)", page, read));
                readOk = false;
                break;
            }
            ++page;
            at += kReadBackPage;
        }
        if (readOk && std::memcmp(block.data(), readBack.data() + offset, static_cast<size_t>(n)) != 0) {
            const auto differs = std::mismatch(block.begin(), block.begin() + n, readBack.begin() + static_cast<long>(offset));
            const uint32_t address = start + static_cast<uint32_t>(differs.first - block.begin());
            SetCause(Format("page %u of the controller image read back differently at 0x%06X",
                            (address - kFlashBase) / kReadBackPage, address));
            readOk = false;
        }
        if (!readOk) {
            ShowWorkaround();
            EndWith(kExitUpdateFailed);
            return;
        }
        Log(Format("block %d: %d bytes at 0x%06X written and read back equal", blockNumber, n, start));
        m_bytesWritten += static_cast<uint64_t>(n);
        m_linkBytes += static_cast<uint64_t>(n) + at;
        m_linkMs += platform::GetClock().NowMs() - blockStartMs;
    }

    m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, 100);
    uint32_t first = 0, end = 0;
    if (firmware::GetHexAddressRange(*text, &first, &end) <= 0) {
        SetCause("the controller image inside this program has a damaged record: its extent cannot be read");
        ShowWorkaround();
        EndWith(kExitUpdateFailed);
        return;
    }
    const velmora::SFUpdateDataHeader commit =
        velmora::MakeUpdateDataHeader(velmora::kUpdateCommit, version, variant, end - first, 0);
    m_host.Sleep(kCommitPauseMs);
    m_updatePhase = 1;
    // The device restarts with the new firmware; what comes back decides the outcome.
    const int committed = velmora::SetSFDeviceUpdateData(g_deviceID, block.data(), commit);
    Log(Format("commit sent (span 0x%X, result %d); waiting for the device to restart", end - first, committed));
    Status(Format("Do not disconnect or switch off the Norvik 1150. Waiting for it to restart with the new firmware "
                  "(at most %llu s).",
                  static_cast<unsigned long long>(kReconnectLimitMs / 1000)));
    block = {};
    readBack = {};
    if (g_deviceID >= 0) velmora::Close(g_deviceID);
    g_deviceID = 0;
    StartTimer(TIMER_RECONNECT, kReconnectIntervalMs);
    SetStage(2);
}

void CQuillonDlg::ReconnectStep() {
    ++m_reconnectTicks;
    m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, static_cast<ui::WPARAM>(m_reconnectTicks));
    // After the commit the device was changed; in an ESP32-only run it was not.
    const int failed = m_updatePhase == 1 ? kExitUpdateFailed : kExitNoDevice;
    if (ReconnectWaitOver()) {
        ReconnectExpired();
        return;
    }
    WaitStatus(m_updatePhase == 1 ? "Waiting for it to restart with the new firmware"
                                  : "Waiting for the Norvik 1150 to be ready",
               platform::GetClock().NowMs() - m_reconnectStartMs, kReconnectLimitMs);

    if (g_deviceID >= 0 && HasOpenChannel(g_deviceID)) {
        velmora::DeviceStatus status{};
        if (velmora::GetDeviceStatus(g_deviceID, &status) != 1 || status.Busy != 0) return;
        if (velmora::GetDeviceInfo(g_deviceID, &m_deviceInfo) != 1) {
            StopTimer(TIMER_RECONNECT);
            SetCause("the device that came back did not answer the device information request");
            Message(std::string(kNotSameDeviceInfo), MbIcon::Error);
            EndWith(failed);
            return;
        }
        if (!IsSameDevice(m_deviceInfo)) {
            StopTimer(TIMER_RECONNECT);
            SetCause("a device with the serial " + OneLine(std::string(m_deviceInfo.serial, sizeof m_deviceInfo.serial)) +
                         " answered instead of " + OneLine(m_expectedSerial),
                     "Disconnect every other Norvik 1150, then start the firmware update again.");
            Message(std::string(kOtherDevice), MbIcon::Error);
            EndWith(failed);
            return;
        }
        // Success needs the new firmware running, not merely a device that answers.
        if (m_updatePhase == 1 && m_deviceInfo.runsApplication != 1) {
            StopTimer(TIMER_RECONNECT);
            m_seenInBootwareAfterCommit = true;
            SetCause("the Norvik 1150 came back in Bootware after the commit, not with its new firmware");
            ShowWorkaround();
            EndWith(kExitUpdateFailed);
            return;
        }
        if (m_updatePhase == 1 && (m_deviceInfo.version != m_imageVersion || m_deviceInfo.variant != m_imageVariant)) {
            StopTimer(TIMER_RECONNECT);
            SetCause(Format("the Norvik 1150 came back with firmware %02.02f (Var %03d) instead of %02.02f (Var %03d)",
                            m_deviceInfo.version / 100.0, m_deviceInfo.variant, m_imageVersion / 100.0, m_imageVariant),
                     "Start the firmware update again.");
            Message(Format(kOtherFirmwareAfterUpdate, m_deviceInfo.version / 100.0, m_deviceInfo.variant,
                           m_imageVersion / 100.0, m_imageVariant),
                    MbIcon::Error);
            EndWith(kExitUpdateFailed);
            return;
        }
        // The ESP32 decision needs a reading of this device: a failed one is tried again next tick.
        if (velmora::GetSFDeviceSensors(g_deviceID, &m_sensors) != 1) {
            m_sensorReadFailed = true;
            return;
        }
        m_sensorReadFailed = false;
        m_sensorsRead = true;
        m_newFirmwareSeen = m_updatePhase == 1;
        LogDevice("device back", m_deviceInfo);
        Log(Format("ESP32 indicator %d", m_sensors.esp32Indicator));
        StopTimer(TIMER_RECONNECT);
        if (m_sensors.esp32Indicator > kNoEsp32Threshold) {
            if (m_updatePhase == 0) {
                // An ESP32-only run on a board that has none: nothing was updated.
                SetCause(Format("the control board reports no ESP32 (sensor value %d)", m_sensors.esp32Indicator),
                         "Nothing to do: this board has no ESP32 to update.");
                Message(std::string(kNoEsp32), MbIcon::Warning);
                EndWith(kExitRefused);
                return;
            }
            m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, 100);
            m_host.SendDlgItemMessage(IDC_PROGRESS_UPPER, ui::PBM_SETPOS, 4);
            m_updatePhase = 2;
            Log("the device runs the new firmware; no ESP32 on this board");
            Status("The update is complete.");
            m_host.MessageBoxWithDetails(std::string(kSuccess), std::string(kCaption), MbButtons::Ok,
                                         MbIcon::Information, SuccessDetails());
            EndWith(kExitSuccess);
            return;
        }
        SetStage(3);
        UpdateEsp32();
        return;
    }
    if (m_reconnectTicks > kForcedCheckAfter) OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

bool CQuillonDlg::WaitingForDevice() const { return m_downloadTimerRunning || m_reconnectTimerRunning; }

int CQuillonDlg::OnDeviceChange(unsigned eventType, uintptr_t) {
    // Changes count only while the sequence waits for the device: not during the warning, not
    // during a step, not once the outcome is decided.
    if (eventType != DBT_DEVNODES_CHANGED || m_ended || !WaitingForDevice()) return 1;
    // A device that keeps dropping off and coming back (a boot loop, a loose cable) brings one
    // change after another, and the ticks that count the waits may not come between them: the
    // limits of the waits hold here as well.
    if (WaitLimitReached()) return 1;
    if (m_updatePhase == 0)
        DeviceChangeBeforeCommit();
    else if (m_updatePhase == 1)
        DeviceChangeAfterCommit();
    return 1;
}

void CQuillonDlg::DeviceChangeBeforeCommit() {
    if (g_deviceID >= 0 && HasOpenChannel(g_deviceID)) {
        velmora::SFModuleStatus status{};
        const int r = velmora::GetSFModuleStatus(g_deviceID, &status);
        if (r == -1 || r == -2) {
            Log(Format("the device went away (result %d)", r));
            velmora::Close(g_deviceID);
            g_bootwareState = 0;
        }
        return;
    }
    // Waiting for Bootware the device must come back in Bootware; in an ESP32-only run it must
    // run its application. Either way it must be the same device.
    const bool wantBootware = m_downloadTimerRunning;
    const int r = OpenAndPrepareDevice();
    velmora::DeviceInfo info{};
    const bool opened = g_deviceID >= 0 && velmora::GetDeviceInfo(g_deviceID, &info) == 1;
    const bool expected = wantBootware ? r == 3 : (r == 1 || r == 2);
    if (opened && expected && IsSameDevice(info)) {
        LogDevice(wantBootware ? "device back in Bootware" : "device ready", info);
        if (wantBootware) g_bootwareState = 1;
        return;
    }
    Log(Format("a device change: the device was not opened as expected (result %d)", r));
    if (g_deviceID >= 0 && velmora::DeviceChannel(g_deviceID)) CloseAttempt(g_deviceID);
    WaitLimitReached();
}

bool CQuillonDlg::WaitLimitReached() {
    if (m_downloadTimerRunning && BootwareWaitOver()) {
        BootwareWaitExpired();
        return true;
    }
    if (m_reconnectTimerRunning && ReconnectWaitOver()) {
        ReconnectExpired();
        return true;
    }
    return false;
}

void CQuillonDlg::DeviceChangeAfterCommit() {
    if (g_deviceID >= 0 && HasOpenChannel(g_deviceID)) {
        velmora::SFModuleStatus status{};
        const int r = velmora::GetSFModuleStatus(g_deviceID, &status);
        if (r != -1 && r != -2) return;  // open and answering: the reconnect step has it
        velmora::Close(g_deviceID);
    }
    bool reopened = false;
    {
        ActivityScope reconnecting(m_activity, Activity::Reconnecting);
        for (int attempt = 0; attempt < kReopenAttempts && !reopened; ++attempt) {
            m_host.Sleep(kReopenPauseMs);
            m_host.KeepAlive();
            // The attempts stop at the limit of the wait, however many changes brought them here.
            if (ReconnectWaitOver()) break;
            // No tick comes while the attempts run: the status line counts the wait here.
            WaitStatus(m_updatePhase == 1 ? "Waiting for it to restart with the new firmware"
                                          : "Waiting for the Norvik 1150 to be ready",
                       platform::GetClock().NowMs() - m_reconnectStartMs, kReconnectLimitMs);
            const int r = OpenAndPrepareDevice();
            Log(Format("reopening the device after the restart: result %d", r));
            if (r == 1 || r == 2) {
                reopened = true;
            } else {
                if (r == 3) m_seenInBootwareAfterCommit = true;
                // The port must be free for the next attempt.
                if (g_deviceID >= 0 && velmora::DeviceChannel(g_deviceID)) CloseAttempt(g_deviceID);
            }
        }
    }
    if (!reopened && ReconnectWaitOver()) {
        velmora::Close(g_firstDeviceID);
        ReconnectExpired();
        return;
    }
    m_host.Sleep(kReopenPauseMs);
    if (!reopened) velmora::Close(g_firstDeviceID);
}

}  // namespace app
