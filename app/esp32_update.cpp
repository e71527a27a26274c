// The ESP32 update: the four image files go onto the device's SD card in chunks as large as a
// frame carries, then the device installs them while its status is read once a second.
#include "app/esp32_update.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/format.h"
#include "app/quillon_dlg.h"
#include "app/start_and_checks.h"
#include "app/update_sequence.h"
#include "devlib/velmora.h"
#include "firmware/resources.h"
#include "ui/text_progress_ctrl.h"

namespace app {

int CQuillonDlg::UpdateEsp32() {
    // Nothing of the ESP32 part is on the card yet: a stop asked for now ends here.
    if (m_stopRequested) {
        OnIdle();
        return 0;
    }
    const Activity before = m_activity;
    m_activity = Activity::Writing;
    m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, 0);
    Log("copying the ESP32 images to the SD card");
    m_esp32BytesLeft = 0;
    for (const Esp32File& file : kEsp32Files)
        m_esp32BytesLeft += static_cast<uint64_t>(std::max(firmware::GetFwFileLength(file.resourceId), 0));
    for (const Esp32File& file : kEsp32Files) {
        Status("Do not disconnect or switch off the Norvik 1150. Copying " + std::string(file.fileName) +
               " to its SD card; " + TimeLeft() + ".");
        if (SendFileToSdCard(file.resourceId, std::string(file.fileName)) == 0) {
            m_activity = before;
            EndWith(kExitEsp32Failed);
            return 0;
        }
        m_host.Sleep(kFilePauseMs);
        m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, static_cast<ui::WPARAM>(file.barAfter));
    }
    InstallEsp32Images();
    m_activity = before;
    return 1;
}

int CQuillonDlg::SendFileToSdCard(int resourceId, const std::string& fileName) {
    const std::string openFailed = Format(kOpenFailed, fileName.c_str());
    const std::string appendFailed = Format(kAppendFailed, fileName.c_str());
    const std::string closeFailed = Format(kCloseFailed, fileName.c_str());

    const auto resource = firmware::FindFwFile(resourceId);
    if (!resource) {
        // Checked before the update began; a program that lost an image still says so.
        SetCause(fileName + " is missing from this program", std::string(kDamagedProgram));
        Message(std::string(kEsp32ImageMissing), MbIcon::Error);
        return 0;
    }
    size_t remaining = static_cast<size_t>(std::max(firmware::GetFwFileLength(resourceId), 0));
    remaining = std::min(remaining, resource->size());
    if (firmware::IsSpiffsPlaceholder(fileName, *resource)) return 1;

    // The device takes single-byte names of at most 19 characters.
    std::string narrow;
    for (char c : fileName.substr(0, kNarrowNameSize - 1)) narrow.push_back(static_cast<unsigned char>(c) < 0x80 ? c : '?');
    const int created =
        velmora::CreateFileOnSDCard(g_deviceID, static_cast<uint16_t>(narrow.size()), narrow.c_str());
    m_esp32Started = true;
    if (!velmora::DeviceChannel(g_deviceID) || created != 1) {
        SetCause(Format("creating %s on the SD card failed (result %d)", fileName.c_str(), created));
        Message(openFailed, MbIcon::Error);
        return 0;
    }
    std::vector<uint8_t> chunk(kChunkBufferSize);
    const char* next = resource->data();
    do {
        const size_t n = std::min<size_t>(remaining, kChunkSize);
        std::memcpy(chunk.data(), next, n);
        next += n;
        remaining -= n;
        m_host.KeepAlive();
        const int appended = velmora::AppendFileData(g_deviceID, static_cast<uint16_t>(n), chunk.data());
        m_esp32BytesLeft -= std::min<uint64_t>(m_esp32BytesLeft, n);
        if (appended != 1) {
            SetCause(Format("writing %s to the SD card failed (result %d)", fileName.c_str(), appended));
            Message(appendFailed, MbIcon::Error);
            return 0;
        }
    } while (remaining > 0);
    const int closed = velmora::CloseFile(g_deviceID);
    if (closed != 1) {
        SetCause(Format("closing %s on the SD card failed (result %d)", fileName.c_str(), closed));
        Message(closeFailed, MbIcon::Error);
        return 0;
    }
    Log(Format("%s on the SD card", fileName.c_str()));
    return 1;
}

void CQuillonDlg::InstallEsp32Images() {
    SetStage(4);
    const velmora::SFUpdateDataHeader install = velmora::MakeUpdateDataHeader(velmora::kUpdateInstallEsp32, 0, 0, 0, 0);
    int r = velmora::SetSFDeviceUpdateData(g_deviceID, nullptr, install);
    const int commandResult = r;
    Log(Format("install command sent (result %d)", r));
    int count = 0;
    int error = 0;
    bool done = false;
    if (r == 1) {
        velmora::DeviceStatus status{};
        do {
            Status(Format("Do not disconnect or switch off the Norvik 1150. It installs the ESP32 images: %d s, at "
                          "most %d s.",
                          count, kPollLimit * static_cast<int>(kPollIntervalMs / 1000)));
            m_host.Sleep(kPollIntervalMs);
            ++count;
            m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, static_cast<ui::WPARAM>(count));
            m_host.KeepAlive();
            r = velmora::GetDeviceStatus(g_deviceID, &status);
            if (r == 1) {
                error = status.error;
                // Any value but 0 means the device still works.
                done = status.Busy == 0;
            }
        } while (count < kPollLimit && r == 1 && !done && error < kMinorErrorLimit);
    }
    m_host.SendDlgItemMessage(IDC_PROGRESS_LOWER, ui::PBM_SETPOS, 100);

    // The outcome is judged before the count: a device done at the last read is done.
    std::string text;
    MbIcon icon = MbIcon::Error;
    int status = kExitEsp32Failed;
    if (done && error == 0) {
        text = std::string(kSuccess);
        icon = MbIcon::Information;
        status = kExitSuccess;
        Log(Format("the ESP32 images are installed (%d status reads)", count));
        Status("The update is complete.");
    } else if (r == 1 && !done && error < kMinorErrorLimit && count >= kPollLimit) {
        text = std::string(kTimeout);
        SetCause(Format("the device was still installing the ESP32 images after %d s", count));
    } else if (error != 0) {
        text = std::string(kInstallFailed) + Format(kInstallErrorDetail, error, r, count);
        SetCause(Format("the device reported error %d while installing the ESP32 images", error));
    } else if (commandResult != 1) {
        text = std::string(kInstallFailed);
        SetCause(Format("the device did not take the command to install the ESP32 images (result %d)", commandResult));
    } else {
        text = std::string(kInstallFailed);
        SetCause(Format("the device stopped answering while it installed the ESP32 images (result %d)", r));
    }
    m_host.MessageBoxWithDetails(text, std::string(kCaption), MbButtons::Ok, icon,
                                 status == kExitSuccess ? SuccessDetails() : Details());
    EndWith(status);
}

}  // namespace app
