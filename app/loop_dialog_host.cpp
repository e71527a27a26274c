#include "app/loop_dialog_host.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "app/quillon_dlg.h"
#include "app/update_sequence.h"
#include "platform/clock.h"
#include "transport/com_port.h"

namespace app {

std::vector<std::string> PortOverridePaths() {
    std::vector<std::string> paths;
    if (const char* list = std::getenv(velmora::kComPortsVariable))
        for (const velmora::ComPortEntry& entry : velmora::ParseComPortList(list)) paths.push_back(entry.path);
    return paths;
}

std::unique_ptr<platform::DeviceWatch> WatchDevicesAndPorts(bool systemEvents) {
    return platform::StartDeviceWatch(PortOverridePaths(), systemEvents);
}

void LoopDialogHost::RunModal(CQuillonDlg& dialog) {
    dialog_ = &dialog;
    ended_ = false;
    if (watch_ && !watching_) {
        watching_ = true;
        loop_.AddSource(watch_->WaitHandle(), [this] {
            // Changes that come together reach the dialog as one event, as the system folds them.
            if (watch_->TakeChanges() > 0 && dialog_ && !dialog_->Ended()) {
                OnDeviceChangeDelivered();
                dialog_->OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
            }
        });
    }
    dialog.OnInitDialog();
    dialog.OnIdle();
    loop_.Run([&] { return ended_ || dialog.Ended(); }, [&](unsigned id) {
        OnTickDelivered(id);
        dialog.OnTimer(id);
    },
              [&] {
                  dialog.OnIdle();
                  AfterDispatch();
              });
    dialog_ = nullptr;
}

void LoopDialogHost::Sleep(uint32_t ms) { platform::GetClock().SleepMs(ms); }

void LoopDialogHost::Stop() {
    if (dialog_) dialog_->RequestStop();
}

}  // namespace app
