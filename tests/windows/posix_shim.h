// The few POSIX calls the portable tests use for their set-up, on Windows: environment
// variables and temporary folders. Included before every test file of the Windows build.
#pragma once

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Replaces the trailing XXXXXX of tmpl and creates that folder.
inline char* mkdtemp(char* tmpl) {
    const size_t len = strlen(tmpl);
    if (len < 6 || strcmp(tmpl + len - 6, "XXXXXX") != 0) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        static unsigned counter = 0;
        unsigned value = static_cast<unsigned>(_getpid()) * 7919u + ++counter * 104729u + static_cast<unsigned>(attempt);
        for (size_t i = len - 6; i < len; ++i) {
            tmpl[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[value % 36];
            value /= 36;
        }
        if (_mkdir(tmpl) == 0) return tmpl;
    }
    return nullptr;
}

#endif
