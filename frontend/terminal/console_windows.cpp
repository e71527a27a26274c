// The console on Windows: VT sequences (ENABLE_VIRTUAL_TERMINAL_PROCESSING) for drawing in place,
// UTF-16 output to the console and UTF-8 bytes to a redirected output, keys taken as console
// input records (Esc; the answer lines are edited here, so that a stop request can end the
// wait), and Ctrl-C, Ctrl-Break and closing the console window through SetConsoleCtrlHandler;
// in a program the supervisor started, its stop requests as well.
#include "frontend/terminal/console.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/child_process.h"
#include "platform/windows/utf16.h"

namespace frontend::terminal {
namespace {

// The console's stop handler runs on a thread of its own, at any time: what it touches lives
// for the whole process.
HANDLE StopEvent() {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}
HANDLE FinishedEvent() {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}
// The thread that waits in a read of a redirected input, so that a stop can cancel that read.
std::atomic<HANDLE> g_readingThread{nullptr};

// How long closing the console, logging off or shutting down waits for the dialog to end at a
// safe point; the system ends the program a little later (5 s) whatever the handler does.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleEvent(DWORD type) {
    ::SetEvent(StopEvent());
    if (HANDLE reading = g_readingThread.load()) ::CancelSynchronousIo(reading);
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return TRUE;  // a stop request; the program goes on to its next safe point
    default:
        // The console goes away: returning lets the system end the program, so give the dialog
        // the time to close the device at a safe point first.
        ::WaitForSingleObject(FinishedEvent(), kCloseGraceMs);
        return TRUE;
    }
}

// The stop requests of the program that started this one (the supervisor of several devices,
// platform::StartChild) come as its event, and are taken as a Ctrl-Break: a thread waits for
// them for the life of the process.
void WatchParentStops() {
    static std::once_flag once;
    std::call_once(once, [] {
        const platform::EventHandle event = platform::InheritedStopEvent();
        if (event == platform::kNoEventHandle) return;
        HANDLE thread = ::CreateThread(
            nullptr, 0,
            [](void* stop) -> DWORD {
                while (::WaitForSingleObject(static_cast<HANDLE>(stop), INFINITE) == WAIT_OBJECT_0)
                    OnConsoleEvent(CTRL_BREAK_EVENT);
                return 0;
            },
            reinterpret_cast<void*>(event), 0, nullptr);
        if (thread) ::CloseHandle(thread);
    });
}

class WindowsConsole : public Console {
public:
    WindowsConsole(int inputFd, int outputFd, bool handleStops)
        : in_(reinterpret_cast<HANDLE>(_get_osfhandle(inputFd))),
          out_(reinterpret_cast<HANDLE>(_get_osfhandle(outputFd))),
          handleStops_(handleStops) {
        inputIsConsole_ = ::GetConsoleMode(in_, &inMode_) != 0;
        outputIsConsole_ = ::GetConsoleMode(out_, &outMode_) != 0;
        // Cursor movement and colours need the console's VT processing; without it (an old
        // console) the program writes plain lines.
        vt_ = outputIsConsole_ &&
              ::SetConsoleMode(out_, outMode_ | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (outputIsConsole_ && ::GetConsoleScreenBufferInfo(out_, &info)) {
            columns_ = info.srWindow.Right - info.srWindow.Left + 1;
            rows_ = info.srWindow.Bottom - info.srWindow.Top + 1;
        }
        if (handleStops_) {
            ::ResetEvent(StopEvent());
            ::ResetEvent(FinishedEvent());
            ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
            WatchParentStops();
        }
    }

    ~WindowsConsole() override {
        if (inputIsConsole_) ::SetConsoleMode(in_, inMode_);
        if (outputIsConsole_) ::SetConsoleMode(out_, outMode_);
        if (handleStops_) ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    }

    bool OutputIsTerminal() const override { return vt_; }
    int Columns() const override { return columns_; }
    int Rows() const override { return rows_; }

    void Write(std::string_view text) override {
        if (outputIsConsole_) {
            const std::wstring wide = platform::Widen(text);
            const wchar_t* at = wide.data();
            DWORD left = static_cast<DWORD>(wide.size());
            while (left > 0) {
                DWORD written = 0;
                if (!::WriteConsoleW(out_, at, left, &written, nullptr) || written == 0) return;
                at += written;
                left -= written;
            }
            return;
        }
        while (!text.empty()) {
            DWORD written = 0;
            if (!::WriteFile(out_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
                return;  // the output went away; the update goes on
            text.remove_prefix(written);
        }
    }

    // The console's input handle is signalled while input records wait; a redirected input is
    // answers, read when asked.
    platform::EventHandle KeyHandle() const override {
        return inputIsConsole_ ? reinterpret_cast<platform::EventHandle>(in_) : platform::kNoEventHandle;
    }
    platform::EventHandle StopHandle() const override {
        return handleStops_ ? reinterpret_cast<platform::EventHandle>(StopEvent()) : platform::kNoEventHandle;
    }

    void SingleKeys(bool on) override {
        // Ctrl-C stays a console event (ENABLE_PROCESSED_INPUT) in both modes.
        if (inputIsConsole_)
            ::SetConsoleMode(in_, on ? (inMode_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) : inMode_);
    }

    bool TakeEsc() override {
        if (!inputIsConsole_) return false;
        bool esc = false;
        for (const INPUT_RECORD& r : TakeRecords())
            if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown && r.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE)
                esc = true;
        return esc;
    }

    ConsoleSignals TakeSignals() override {
        ConsoleSignals signals;
        if (!handleStops_ || ::WaitForSingleObject(StopEvent(), 0) != WAIT_OBJECT_0) return signals;
        ::ResetEvent(StopEvent());
        signals.stop = true;
        return signals;
    }

    LineEnd ReadLine(std::string* line) override {
        const std::optional<std::string> typed = inputIsConsole_ ? ReadConsoleLine() : ReadRedirectedLine();
        if (typed) {
            *line = *typed;
            return LineEnd::Line;
        }
        return Stopped() ? LineEnd::Signal : LineEnd::End;
    }

    bool AnswersAreKeys() const override { return inputIsConsole_; }

    LineEnd ReadKey(char* key) override {
        if (!inputIsConsole_) return Console::ReadKey(key);
        HANDLE handles[2] = {in_, StopEvent()};
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(handleStops_ ? 2 : 1, handles, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0) return Stopped() ? LineEnd::Signal : LineEnd::End;
            for (const INPUT_RECORD& record : TakeRecords()) {
                if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
                const wchar_t ch = record.Event.KeyEvent.uChar.UnicodeChar;
                if (record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) {
                    *key = '\x1b';
                    return LineEnd::Line;
                }
                if (ch == L'\r' || ch == L'\n') {
                    *key = '\n';
                    return LineEnd::Line;
                }
                if (ch >= 0x20 && ch < 0x7F) {
                    *key = static_cast<char>(ch);
                    return LineEnd::Line;
                }
            }
        }
    }

    void Finished() override {
        if (handleStops_) ::SetEvent(FinishedEvent());
    }

private:
    bool Stopped() const { return handleStops_ && ::WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0; }

    std::vector<INPUT_RECORD> TakeRecords() {
        std::vector<INPUT_RECORD> records;
        DWORD waiting = 0;
        while (::GetNumberOfConsoleInputEvents(in_, &waiting) && waiting > 0) {
            std::vector<INPUT_RECORD> batch(waiting);
            DWORD read = 0;
            if (!::ReadConsoleInputW(in_, batch.data(), waiting, &read) || read == 0) break;
            records.insert(records.end(), batch.begin(), batch.begin() + read);
        }
        return records;
    }

    // The line is edited here from key records (characters, Backspace, Enter), so that the wait
    // can end on a stop request as well.
    std::optional<std::string> ReadConsoleLine() {
        std::wstring line;
        HANDLE handles[2] = {in_, StopEvent()};
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(handleStops_ ? 2 : 1, handles, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0) return std::nullopt;  // a stop request (it stays for TakeStops)
            for (const INPUT_RECORD& record : TakeRecords()) {
                if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
                const wchar_t ch = record.Event.KeyEvent.uChar.UnicodeChar;
                for (WORD n = 0; n < record.Event.KeyEvent.wRepeatCount; ++n) {
                    if (ch == L'\r' || ch == L'\n') {
                        Write("\n");
                        return platform::Narrow(line);
                    }
                    if (ch == L'\b') {
                        if (!line.empty()) {
                            line.pop_back();
                            Write("\b \b");
                        }
                    } else if (ch == 0x1A && line.empty()) {
                        return std::nullopt;  // Ctrl-Z: the end of the input
                    } else if (ch >= 0x20 && line.size() < 256) {
                        line.push_back(ch);
                        Write(platform::Narrow(std::wstring_view(&ch, 1)));
                    }
                }
            }
        }
    }

    std::optional<std::string> ReadRedirectedLine() {
        HANDLE self = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        g_readingThread = self;
        std::optional<std::string> line;
        std::string text;
        while (!Stopped()) {
            char c = 0;
            DWORD got = 0;
            if (!::ReadFile(in_, &c, 1, &got, nullptr) || got == 0) break;  // end of input, or cancelled
            if (c == '\n') {
                if (!text.empty() && text.back() == '\r') text.pop_back();
                line = text;
                break;
            }
            if (text.size() < 256) text.push_back(c);
        }
        g_readingThread = nullptr;
        if (self) ::CloseHandle(self);
        return line;
    }

    HANDLE in_;
    HANDLE out_;
    bool handleStops_;
    bool inputIsConsole_ = false;
    bool outputIsConsole_ = false;
    bool vt_ = false;
    DWORD inMode_ = 0;
    DWORD outMode_ = 0;
    int columns_ = 0;
    int rows_ = 0;
};

}  // namespace

std::unique_ptr<Console> OpenConsole(int inputFd, int outputFd, bool handleStops) {
    return std::make_unique<WindowsConsole>(inputFd, outputFd, handleStops);
}

}  // namespace frontend::terminal
