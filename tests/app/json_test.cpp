// JSON for the machine output and the supervisor: what is written is valid JSON whatever a
// device sends, and reads back to the same values; what is read is bounded and never crashes.
#include <gtest/gtest.h>

#include <string>

#include "app/json.h"

namespace {

using app::json::Parse;
using app::json::Quote;
using app::json::Value;

TEST(Json, HostileDeviceTextsAreWrittenAsValidJsonAndReadBack) {
    const std::string texts[] = {
        "N11501", "quote \" and backslash \\", "\x1b[8mAB", "line\nfeed\r\ttab", std::string("nul\0inside", 10),
        "Müller 名前", "\x7f del",
    };
    for (const std::string& t : texts) {
        const std::string quoted = Quote(t);
        for (char c : quoted) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << quoted;
        const auto back = Parse(quoted);
        ASSERT_TRUE(back) << quoted;
        EXPECT_EQ(back->AsString(), t);
    }
    // Bytes that are not UTF-8 become U+FFFD, so the line stays valid JSON.
    EXPECT_EQ(Quote("a\xc2\x9b" "b\xff\xc0\x80"), "\"a\xc2\x9b" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_TRUE(Parse(Quote("\xed\xa0\x80")));  // a surrogate's bytes
}

TEST(Json, EventsRoundTrip) {
    Value details = Value::Object();
    details.Set("cause", "page 5 differs").Set("run_log", "/home/u/.local/state/quillon/runs/x.log");
    Value event = Value::Object();
    event.Set("event", "message").Set("exit_status", 1).Set("position", 12.5).Set("ok", true).Set("none", nullptr);
    event.Set("details", details).Set("list", Value::Array().Push(1).Push("two"));
    const std::string line = event.Dump();
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind("{\"event\":\"message\",\"exit_status\":1,\"position\":12.5,", 0), 0u) << line;
    const auto back = Parse(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, event);
    EXPECT_EQ((*back)["details"]["cause"].AsString(), "page 5 differs");
    EXPECT_TRUE((*back)["missing"].IsNull());
}

TEST(Json, WhatIsNotJsonIsRefused) {
    for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "{\"a\" 1}", "\"\\x\"", "\"\\ud800\"", "01", "1.", "tru",
                            "\"raw\ncontrol\"", "{} trailing", "\"\xff\"", "1111e1111111"})
        EXPECT_FALSE(Parse(bad)) << bad;
    EXPECT_FALSE(Parse(std::string(100, '[') + std::string(100, ']')));  // too deep
    EXPECT_TRUE(Parse(std::string(60, '[') + std::string(60, ']')));
    EXPECT_TRUE(Parse(" {\"a\": [1, -2.5e3, \"\\u00fc\\ud83d\\ude00\"]} "));
    EXPECT_EQ((*Parse("\"\\ud83d\\ude00\""))
                  .AsString(),
              "\xF0\x9F\x98\x80");
}

}  // namespace
