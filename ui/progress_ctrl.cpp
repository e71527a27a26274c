#include "ui/progress_ctrl.h"

namespace ui {

void CProgressCtrl::Attach(WindowHost* host, uint32_t style) {
    host_ = host;
    style_ = style;
}

LRESULT CProgressCtrl::WindowProc(UINT, WPARAM, LPARAM) { return 0; }

void CProgressCtrl::RedrawWindow() {
    if (host_) host_->RedrawWindow();
}

COLORREF CProgressCtrl::GetSysColor(int index) const {
    return host_ ? host_->GetSysColor(index) : DefaultSysColor(index);
}

}  // namespace ui
