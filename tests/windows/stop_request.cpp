// Starts a program and, once a trigger file appears, asks it to stop the way Windows does, for
// the stop tests under Wine:
//   ctrl-c        GenerateConsoleCtrlEvent(CTRL_C_EVENT) to every process of the console (this
//                 one ignores it), as a Ctrl-C typed into the console does
//   ctrl-break    CTRL_BREAK_EVENT, and
//   close-console CTRL_CLOSE_EVENT, each delivered as the system delivers a console event: a thread
//                 of the program starting at CtrlRoutine with the event. Wine carries neither (its
//                 GenerateConsoleCtrlEvent knows Ctrl-C only, and closing a console ends its programs
//                 without the event). After a close the system ends the program once its handler
//                 returns, or 5 s after the event: so does this program.
//   close-window  WM_SYSCOMMAND SC_CLOSE to the program's main dialog, as its close button sends.
//   enter-window  Enter pressed in the program's main dialog (the key's messages, which the
//                 dialog's loop makes its IDOK): no stop request at all.
// The program's output goes to OUTPUT; REPORT gets what happened, one line each, and "exit N".
// Usage: stop_request ACTION TRIGGER REPORT OUTPUT PROGRAM [ARGS...]   (paths as Windows sees them)
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

constexpr DWORD kStatusControlCExit = 0xC000013A;  // how the system ends a program after a close
constexpr DWORD kCloseLimitMs = 5000;
constexpr int kMainDialogControl = 1003;  // the upper bar of the main dialog

FILE* g_report = nullptr;

__attribute__((format(gnu_printf, 1, 2))) void Report(const char* format, ...) {
    va_list values;
    va_start(values, format);
    std::vfprintf(g_report, format, values);
    va_end(values);
    std::fputc('\n', g_report);
    std::fflush(g_report);
}

BOOL WINAPI IgnoreEvents(DWORD) { return TRUE; }

std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

bool Exists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// The program's main dialog: a visible dialog window of the process with the upper bar.
HWND MainDialogOf(DWORD pid) {
    struct Search {
        DWORD pid;
        HWND found;
    } search{pid, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM p) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(p);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == s.pid && ::IsWindowVisible(window) && ::GetDlgItem(window, kMainDialogControl)) {
                s.found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A console event as the system delivers it: a new thread of the program at CtrlRoutine, which
// calls the program's handlers. kernelbase lies at the same address in every process.
HANDLE DeliverConsoleEvent(HANDLE process, DWORD event) {
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (!routine) return nullptr;
    return ::CreateRemoteThread(process, nullptr, 0, routine, reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0,
                                nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: stop_request ctrl-c|ctrl-break|close-console|close-window|enter-window TRIGGER "
                             "REPORT OUTPUT "
                             "PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::wstring action = argv[1];
    const wchar_t* trigger = argv[2];
    g_report = _wfopen(argv[3], L"w");
    if (!g_report) return 2;

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = ::CreateFileW(argv[4], GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        Report("cannot create the output file (error %lu)", ::GetLastError());
        return 2;
    }
    std::wstring commandLine;
    for (int i = 5; i < argc; ++i) commandLine += (i > 5 ? L" " : L"") + Quoted(argv[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION program{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &program)) {
        Report("cannot start the program (error %lu)", ::GetLastError());
        return 2;
    }
    ::CloseHandle(output);
    // The program's own Ctrl-C reaches this process too: it goes on.
    ::SetConsoleCtrlHandler(IgnoreEvents, TRUE);

    bool triggered = false;
    while (::WaitForSingleObject(program.hProcess, 20) == WAIT_TIMEOUT)
        if (Exists(trigger)) {
            triggered = true;
            break;
        }
    if (!triggered) {
        Report("the program ended before the trigger");
    } else if (action == L"ctrl-c") {
        if (::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            Report("delivered ctrl-c");
        else
            Report("GenerateConsoleCtrlEvent failed (error %lu)", ::GetLastError());
    } else if (action == L"ctrl-break" || action == L"close-console") {
        const DWORD event = action == L"ctrl-break" ? CTRL_BREAK_EVENT : CTRL_CLOSE_EVENT;
        const ULONGLONG start = ::GetTickCount64();
        HANDLE handler = DeliverConsoleEvent(program.hProcess, event);
        if (!handler) {
            Report("cannot deliver the console event (error %lu)", ::GetLastError());
        } else {
            Report("delivered %ls", action.c_str());
            if (event == CTRL_CLOSE_EVENT) {
                // The handler returns, or the time is up: the system ends the program, unless it
                // has ended itself.
                HANDLE both[2] = {handler, program.hProcess};
                const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, kCloseLimitMs);
                const ULONGLONG ms = ::GetTickCount64() - start;
                if (r == WAIT_OBJECT_0 + 1)
                    Report("the program ended by itself after %llu ms", ms);
                else if (::TerminateProcess(program.hProcess, kStatusControlCExit))
                    Report(r == WAIT_OBJECT_0 ? "the handler returned after %llu ms: the system ended the program"
                                              : "no answer in %llu ms: the system ended the program",
                           ms);
            }
            ::CloseHandle(handler);
        }
    } else if (action == L"close-window") {
        HWND dialog = MainDialogOf(program.dwProcessId);
        if (dialog && ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0))
            Report("closed the window");
        else
            Report("no main window to close");
    } else if (action == L"enter-window") {
        HWND dialog = MainDialogOf(program.dwProcessId);
        if (dialog && ::PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0x001C0001) &&
            ::PostMessageW(dialog, WM_KEYUP, VK_RETURN, 0xC01C0001))
            Report("pressed enter");
        else
            Report("no main window to press enter in");
    } else {
        Report("unknown action");
    }

    ::WaitForSingleObject(program.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(program.hProcess, &code);
    Report("exit %lu", code);
    ::CloseHandle(program.hThread);
    ::CloseHandle(program.hProcess);
    std::fclose(g_report);
    return 0;
}
