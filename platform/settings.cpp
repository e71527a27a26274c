// INI texts as the maker's programs write them on Linux.
#include "platform/settings.h"

#include <cctype>

namespace platform {
namespace {

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

bool FindIniValue(std::string_view text, std::string_view section, std::string_view key, std::string* value) {
    // Keys before the first section header belong to [General].
    std::string_view current = "General";
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = Trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close != std::string_view::npos) current = Trim(line.substr(1, close - 1));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (!SameName(current, section) || !SameName(Trim(line.substr(0, eq)), key)) continue;
        std::string_view v = Trim(line.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        size_t zero = v.find('\0');
        if (zero != std::string_view::npos) v = v.substr(0, zero);
        *value = std::string(v);
        return true;
    }
    return false;
}

}  // namespace platform
