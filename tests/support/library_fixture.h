// A test fixture with the library started and its log on in a temporary data folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "devlib/velmora.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

class NullEventSink : public platform::EventSink {
public:
    bool Report(const platform::Event&) override { return true; }
};

class LibraryWithLog : public ::testing::Test {
protected:
    void SetUp() override {
        velmora::ResetLibraryForTest();
        setenv("VELMORA_COMMON_APPDATA", dir.path().c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.path().c_str(), 1);
        platform::SetEventSink(&sink);
        WriteFile(dir / "Kalder/VelmoraLog.cfg", "");
        velmora::InitLibrary();
        logStart = ReadFile(LogPath()).size();
    }
    void TearDown() override {
        for (int id = 0; id < velmora::kMaxDevices; ++id) velmora::Close(id);
        unsetenv("VELMORA_COM_PORTS");
        velmora::ResetLibraryForTest();
        platform::SetEventSink(nullptr);
        unsetenv("VELMORA_COMMON_APPDATA");
        unsetenv("VELMORA_LOCK_DIR");
    }
    std::string LogPath() const { return dir / "Kalder/Velmora.log"; }
    // The log lines written since the last call, without their time stamps.
    std::vector<std::string> NewLines() {
        const std::string text = ReadFile(LogPath()).substr(logStart);
        logStart += text.size();
        std::vector<std::string> out;
        const std::string end = platform::kTextLineEnd;
        for (size_t pos = 0; pos < text.size();) {
            const size_t nl = text.find(end, pos);
            const std::string line = text.substr(pos, nl - pos);
            const size_t bar = line.find(" | ");
            EXPECT_EQ(bar, 23u) << line;
            out.push_back(bar == std::string::npos ? line : line.substr(bar + 3));
            if (nl == std::string::npos) break;
            pos = nl + end.size();
        }
        return out;
    }

    TempDir dir;
    NullEventSink sink;
    size_t logStart = 0;
};

}  // namespace testsupport
