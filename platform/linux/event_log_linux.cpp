// Event log on Linux: one syslog(3) line at LOG_INFO, ident = the event source.
#include "platform/event_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>

namespace platform {
namespace {

class SyslogSink : public EventSink {
public:
    bool Report(const Event& e) override {
        // openlog keeps the pointer, so the ident must live on: sources are few and fixed.
        static std::string ident;
        ident = e.source;
        ::openlog(ident.c_str(), LOG_PID, LOG_USER);
        ::syslog(LOG_INFO, "event 0x%08X category %d: %s", e.eventId, e.category, e.text.c_str());
        ::closelog();
        return true;
    }
};

std::atomic<EventSink*> g_sink{nullptr};

}  // namespace

EventSink& GetEventSink() {
    static SyslogSink syslogSink;
    EventSink* s = g_sink.load();
    return s ? *s : syslogSink;
}

void SetEventSink(EventSink* sink) { g_sink.store(sink); }

}  // namespace platform
