// The part of a host that runs the dialog on MessageLoop: timers, the device watch that turns
// device changes into event 7, the end of the dialog and stop requests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/dialog_host.h"
#include "app/message_loop.h"
#include "platform/device_watch.h"

namespace app {

// The ports of the port override (VELMORA_COM_PORTS), in the order given.
std::vector<std::string> PortOverridePaths();

// Watches the system's device events and the ports of the port override (VELMORA_COM_PORTS).
std::unique_ptr<platform::DeviceWatch> WatchDevicesAndPorts(bool systemEvents = true);

class LoopDialogHost : public DialogHost {
public:
    explicit LoopDialogHost(std::unique_ptr<platform::DeviceWatch> watch) : watch_(std::move(watch)) {}

    void RunModal(CQuillonDlg& dialog) override;
    unsigned SetTimer(unsigned id, unsigned intervalMs) override { return loop_.SetTimer(id, intervalMs); }
    void KillTimer(unsigned id) override { loop_.KillTimer(id); }
    void EndDialog(int result) override {
        ended_ = true;
        result_ = result;
    }
    void Sleep(uint32_t ms) override;

    bool TimerRunning(unsigned id) const { return loop_.TimerRunning(id); }
    int DialogResult() const { return result_; }

protected:
    MessageLoop& Loop() { return loop_; }
    // The dialog while RunModal runs it, else null.
    CQuillonDlg* Dialog() const { return dialog_; }
    // A stop request from the user or the system (Esc, Ctrl-C, SIGTERM, ...).
    void Stop();
    // A device change is about to reach the dialog (tests watch it).
    virtual void OnDeviceChangeDelivered() {}
    // A timer tick is about to reach the dialog (tests watch it).
    virtual void OnTickDelivered(unsigned) {}
    // The loop handed out an event or a tick and is about to wait again.
    virtual void AfterDispatch() {}

private:
    std::unique_ptr<platform::DeviceWatch> watch_;
    MessageLoop loop_;
    CQuillonDlg* dialog_ = nullptr;
    bool ended_ = false;
    bool watching_ = false;
    int result_ = 0;
};

}  // namespace app
