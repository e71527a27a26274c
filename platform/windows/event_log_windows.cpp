// Event log on Windows: RegisterEventSourceA on the local computer and one ReportEventA with
// the event's type, category, id and its text as the single insertion string.
#include <windows.h>

#include <atomic>

#include "platform/event_log.h"

namespace platform {
namespace {

class WindowsEventLogSink : public EventSink {
public:
    bool Report(const Event& e) override {
        HANDLE source = ::RegisterEventSourceA(nullptr, e.source.c_str());
        if (!source) return false;
        const char* strings[1] = {e.text.c_str()};
        const BOOL ok = ::ReportEventA(source, static_cast<WORD>(e.type), static_cast<WORD>(e.category),
                                       static_cast<DWORD>(e.eventId), nullptr, 1, 0, strings, nullptr);
        ::DeregisterEventSource(source);
        return ok != FALSE;
    }
};

std::atomic<EventSink*> g_sink{nullptr};

}  // namespace

EventSink& GetEventSink() {
    static WindowsEventLogSink systemSink;
    EventSink* s = g_sink.load();
    return s ? *s : systemSink;
}

void SetEventSink(EventSink* sink) { g_sink.store(sink); }

}  // namespace platform
