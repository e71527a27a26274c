// <windows.h>, <commctrl.h> and <dbt.h> for the front end's own files, without the macros whose
// names the portable code uses for its own constants and methods (RGB, COLOR_*, WM_PAINT, PBM_*,
// IDOK, MessageBox, DrawText, SetWindowText, ...). The values are the same on both sides: the
// portable ones (ui::, app::) are used in their place. Every Windows header of frontend/win32
// comes through here.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#undef RGB
#undef GetRValue
#undef GetGValue
#undef GetBValue
#undef COLOR_WINDOW
#undef COLOR_WINDOWTEXT
#undef COLOR_HIGHLIGHT
#undef COLOR_BTNFACE
#undef COLOR_BTNSHADOW
#undef CLR_DEFAULT
#undef WM_PAINT
#undef WM_ERASEBKGND
#undef WM_TIMER
#undef WM_USER
#undef PBM_SETRANGE
#undef PBM_SETPOS
#undef PBM_DELTAPOS
#undef PBM_SETSTEP
#undef PBM_STEPIT
#undef PBM_SETRANGE32
#undef PBM_GETRANGE
#undef PBM_GETPOS
#undef PBM_SETBARCOLOR
#undef PBM_SETMARQUEE
#undef CCM_SETBKCOLOR
#undef PBS_VERTICAL
#undef PBS_MARQUEE
#undef MAKELRESULT
#undef IDOK
#undef IDCANCEL
#undef IDYES
#undef IDNO
#undef MessageBox
#undef SetDlgItemText
#undef SendDlgItemMessage
#undef SendMessage
#undef SetWindowText
#undef GetWindowText
#undef DrawText
