// The report's form body: every piece in its order, each ending with '&' except the last.
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "report/usage_report.h"

namespace report {
namespace {

void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        std::vector<char> text(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        out->append(text.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

// A value goes into the form as it is, except the characters that would change the form's
// meaning ('&', '=', '%', '+') and bytes outside printable ASCII: those are percent-encoded, so
// a value can never end its field early or add a field of its own.
std::string FormValue(std::string_view value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '&' || c == '=' || c == '%' || c == '+') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

const char* DeviceSecurityPiece(uint16_t stats) {
    // Bits 7 and 6 of the low byte.
    if (!(stats & 0x80)) return "DeviceSecurity=0&";
    return (stats & 0x40) ? "DeviceSecurity=2&" : "DeviceSecurity=3&";
}

}  // namespace

bool IsIntranetName(std::string_view officialName, std::string_view marker) {
    if (marker.empty() || marker.size() > officialName.size()) return false;
    // Host names are compared without regard to case.
    for (size_t start = 0; start + marker.size() <= officialName.size(); ++start) {
        size_t i = 0;
        while (i < marker.size() && std::tolower(static_cast<unsigned char>(officialName[start + i])) ==
                                        std::tolower(static_cast<unsigned char>(marker[i])))
            ++i;
        if (i == marker.size()) return true;
    }
    return false;
}

std::string ComposeReportBody(const ReportRecord& r, bool internal, int hour, int minute, std::string_view accessKey) {
    std::string body;
    body.reserve(kBodyBufferSize);
    body += "Device=Norvik1150&";
    body += "SerialNumber=" + FormValue(r.serialText) + "&";
    body += internal ? "DataFrom=FirmwareUpdateTool-KALDER intern&" : "DataFrom=FirmwareUpdateTool&";
    body += "OldFirmware=" + FormValue(r.oldFirmwareText) + "&";
    body += "NewFirmware=" + FormValue(r.newFirmwareText) + "&";
    body += "Bootware=---&";
    Append(&body, "PrintCounter=%d&", static_cast<int32_t>(r.statistic.printCounter));
    Append(&body, "PrintCartridge=%d&", r.printHead.printCartridge);
    body += "GeoLocation=---/---&";
    Append(&body, "ImprintSequence=%d&", r.parameters.printSeq);
    Append(&body, "Effects=%d&", r.parameters.effects);
    Append(&body, "Signals=%d&", r.parameters.signals);
    Append(&body, "Functions=%d&", r.parameters.function);

    if (r.failureFlags & kNoSerial) {
        body += "Errors=- Data save error 1&";
    } else if (r.failureFlags & kParameterFailed) {
        body += "Errors=- Data save error 2&";
    } else if (r.failureFlags & kStatusFailed) {
        body += "Errors=- Data save error 3&";
    } else if (r.failureFlags & kStatisticFailed) {
        body += "Errors=- Data save error 4&";
    } else if (r.failureFlags & kPrintHeadFailed) {
        body += "Errors=- Data save error 5&";
    } else {
        // The statistic's error numbers up to the first 0xFF.
        std::string list;
        for (size_t i = 0; i < sizeof r.statistic.errors && r.statistic.errors[i] != 0xFF; ++i)
            Append(&list, " %d /", r.statistic.errors[i]);
        body += "Errors=" + list + "&";
    }

    Append(&body, "DeviceOptions=%d&", r.statistic.options[0]);
    Append(&body, "NumberOfStoredPrintImages= %03d/%03d&", r.status.storedImages + 1, r.fileCount);
    body += "Connection=0&";
    body += DeviceSecurityPiece(r.status.stats);
    Append(&body, "CartridgeLevel=%d&", r.status.phLevel);
    Append(&body, "Spitting=%d&", r.parameters.spitting);
    Append(&body, "t1=%d&", hour * 6);
    Append(&body, "t2=%d&", minute * 12);
    Append(&body, "t3=%d&", hour * minute * 24);
    body += "k=" + FormValue(accessKey);
    return body;
}

}  // namespace report
