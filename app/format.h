// printf-style formatting into a std::string, for the dialog's message texts.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace app {

inline std::string Format(std::string_view format, ...) {
    const std::string fmt(format);  // vsnprintf wants a terminated format
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::vsnprintf(nullptr, 0, fmt.c_str(), copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
    return out;
}

}  // namespace app
