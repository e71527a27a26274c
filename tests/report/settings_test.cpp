// The companion program's settings on Linux: where the file is and how a value is read.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/settings.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kKey = "Software\\Kalder\\Tavlo GRAPHIC\\";

class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

TEST(SettingsFile, RegistryKeyBecomesAConfFileUnderTheXdgConfigFolder) {
    {
        EnvVar xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(platform::SettingsFileForKey(kKey), "/cfg/Kalder/Tavlo GRAPHIC.conf");
        EXPECT_EQ(platform::SettingsFileForKey("software\\Kalder\\Other"), "/cfg/Kalder/Other.conf");
        EXPECT_EQ(platform::SettingsFileForKey("Software\\"), "");
    }
    // Unset or relative: ~/.config.
    EnvVar home("HOME", "/home/someone");
    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/cfg", ""}) {
        EnvVar x("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(platform::SettingsFileForKey(kKey), "/home/someone/.config/Kalder/Tavlo GRAPHIC.conf");
    }
}

TEST(SettingsFile, IniValuesAsTheCompanionProgramWritesThem) {
    struct Case {
        const char* text;
        bool found;
        const char* value;
    } cases[] = {
        {"[General]\nDataToDatabase=1\n", true, "1"},
        {"[General]\r\nDataToDatabase = 0 \r\n", true, "0"},
        {"DataToDatabase=1\n[Other]\nx=2\n", true, "1"},  // above the first section: [General]
        {"[general]\ndatatodatabase=\"1\"\n", true, "1"},  // names without case, quotes dropped
        {"[Other]\nDataToDatabase=1\n", false, ""},
        {"[General]\n;DataToDatabase=1\n#DataToDatabase=1\nDataToDatabaseX=1\n", false, ""},
        {"[General]\nDataToDatabase=\n", true, ""},
        {"[General]\nDataToDatabase=1\nDataToDatabase=0\n", true, "1"},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        std::string value = "keep";
        EXPECT_EQ(platform::FindIniValue(c.text, "General", "DataToDatabase", &value), c.found) << c.text;
        EXPECT_EQ(value, c.found ? c.value : "keep") << c.text;
    }
}

TEST(SettingsFile, ReadReplacesTheValueOnlyWhenItWasRead) {
    testsupport::TempDir dir;
    EnvVar xdg("XDG_CONFIG_HOME", dir.path().c_str());
    const std::string file = dir / "Kalder/Tavlo GRAPHIC.conf";
    std::string value = "0";

    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 0);  // no file
    EXPECT_EQ(value, "0");

    testsupport::WriteFile(file, "[General]\nDataToDatabase=1\n");
    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 1);
    EXPECT_EQ(value, "1");
    EXPECT_EQ(platform::ReadRegistryString("Missing", kKey, &value), 0);
    EXPECT_EQ(value, "1");

    // The registry's 512-byte buffer: 255 characters and the zero.
    testsupport::WriteFile(file, "[General]\nLong=" + std::string(255, 'x') + "\nLonger=" + std::string(256, 'x') +
                                     "\nWide=" + std::string(254, 'x') + "\xf0\x9f\x98\x80" + "\n");
    EXPECT_EQ(platform::ReadRegistryString("Long", kKey, &value), 1);
    EXPECT_EQ(value.size(), 255u);
    value = "0";
    EXPECT_EQ(platform::ReadRegistryString("Longer", kKey, &value), 0);
    EXPECT_EQ(value, "0");
    EXPECT_EQ(platform::ReadRegistryString("Wide", kKey, &value), 0);  // 255 characters, 256 in UTF-16
    EXPECT_EQ(value, "0");

    // Not a regular file: unreadable, value unchanged.
    value = "0";
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);
    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 0);
    EXPECT_EQ(value, "0");
}

TEST(SettingsFile, FileWithoutReadPermissionIsUnreadable) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    testsupport::TempDir dir;
    EnvVar xdg("XDG_CONFIG_HOME", dir.path().c_str());
    const std::string file = dir / "Kalder/Tavlo GRAPHIC.conf";
    testsupport::WriteFile(file, "[General]\nDataToDatabase=1\n");
    chmod(file.c_str(), 0);
    std::string value = "0";
    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 0);
    EXPECT_EQ(value, "0");
}

}  // namespace
