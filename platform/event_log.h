// The system event log. On Linux each event is one syslog(3) line with the source as ident.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct Event {
    std::string source;
    int type = 0;       // 4 = information
    int category = 0;
    uint32_t eventId = 0;
    std::string text;
};

class EventSink {
public:
    virtual ~EventSink() = default;
    // false when the event could not be delivered; callers ignore it.
    virtual bool Report(const Event& event) = 0;
};

EventSink& GetEventSink();
// Installs a sink (nullptr: back to syslog). For tests.
void SetEventSink(EventSink* sink);

}  // namespace platform
