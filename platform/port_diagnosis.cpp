#include "platform/port_diagnosis.h"

#include <cctype>

namespace platform {

std::string AsSentences(const std::vector<std::string>& findings) {
    std::string text;
    for (const std::string& f : findings) {
        if (f.empty()) continue;
        if (!text.empty()) text += ' ';
        std::string s = f;
        s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
        text += s + '.';
    }
    return text;
}

}  // namespace platform
