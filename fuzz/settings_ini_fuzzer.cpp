// The companion program's settings file: any INI text, looked up with any section and key, and
// with the one value the report asks for.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "platform/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const std::string section(in.Text(in.Byte() % 16));
    const std::string key(in.Text(in.Byte() % 24));
    const std::string text(in.Text(size));
    for (int pass = 0; pass < 2; ++pass) {
        std::string value = "unchanged";
        const bool found = pass == 0 ? platform::FindIniValue(text, section, key, &value)
                                     : platform::FindIniValue(text, "General", "DataToDatabase", &value);
        if (!found && value != "unchanged") std::abort();
        if (found && (value.find('\0') != std::string::npos || value.find('\n') != std::string::npos)) std::abort();
    }
    return 0;
}
