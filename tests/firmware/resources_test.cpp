#include "firmware/resources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace firmware;

namespace {

std::span<const char> Span(const std::string& s) { return {s.data(), s.size()}; }

const std::string k16 = std::string(16, '0');
const std::string k17 = std::string(17, '0');

TEST(FwFileLength, EndMarkerRule) {
    struct Case {
        const char* name;
        std::string resource;
        int length;
    } cases[] = {
        {"sixteen zeros do not end the image", "ABC" + k16 + "X" + k17 + "0000", 3 + 16 + 1},
        {"the seventeenth zero does", "ABC" + k17, 3},
        {"a longer run ends at its first zero", "ABC" + k17 + k17, 3},
        {"a resource that starts with the marker is empty", k17 + "ABC" + k17, 0},
        {"without a marker the whole resource", "ABC" + k16, 19},
        {"an empty resource", "", 0},
    };
    std::vector<TableResourceStore::Entry> entries;
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) entries.push_back({"FW_FILE", 300 + i, Span(cases[i].resource)});
    const TableResourceStore store(entries);
    ScopedResourceStore scoped(store);
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i)
        EXPECT_EQ(GetFwFileLength(300 + i), cases[i].length) << cases[i].name;
    EXPECT_EQ(GetFwFileLength(299), 0) << "a missing resource";
}

TEST(FwFileLookup, TypeWithoutRegardToCaseAndErrorCodes) {
    const std::string image = "image" + k17;
    const TableResourceStore store({{"FW_FILE", 141, Span(image)}});
    ScopedResourceStore scoped(store);

    for (const char* type : {"FW_FILE", "FW_File", "fw_file"}) {
        const auto found = store.Find(type, 141);
        ASSERT_TRUE(found) << type;
        EXPECT_EQ(found->data(), image.data()) << "the bytes are used in place";
    }
    int error = 0;
    EXPECT_FALSE(FindFwFile(142, &error));
    EXPECT_EQ(error, kErrorResourceNameNotFound);
    EXPECT_FALSE(store.Find("RCDATA", 141, &error));
    EXPECT_EQ(error, kErrorResourceTypeNotFound);
    EXPECT_TRUE(FindFwFile(141));
}

TEST(SpiffsPlaceholder, FirstTenCharactersForTheSpiffsFileOnly) {
    const std::string placeholder = std::string(kPlaceholderImage) + k17;
    const std::string real = "\xE9\x01\x02 spiffs image" + k17;
    const std::string lower = "spiffs.bin\r\n" + k17;
    EXPECT_TRUE(IsSpiffsPlaceholder("spiffs.bin", Span(placeholder)));
    EXPECT_TRUE(IsSpiffsPlaceholder("/sd/spiffs.bin", Span(placeholder)));
    EXPECT_FALSE(IsSpiffsPlaceholder("spiffs.bin", Span(real)));
    EXPECT_FALSE(IsSpiffsPlaceholder("spiffs.bin", Span(lower)));
    EXPECT_FALSE(IsSpiffsPlaceholder("SPIFFS.BIN", Span(placeholder)));
    EXPECT_FALSE(IsSpiffsPlaceholder("application.bin", Span(placeholder)));
    EXPECT_FALSE(IsSpiffsPlaceholder("spiffs.bin", Span(std::string("Spiffs"))));
}

// The images this build carries inside the executable.
TEST(EmbeddedResources, FixedSizesPaddingAndRealLengths) {
    struct Expected {
        int id;
        int length;
    } expected[] = {{140, 1314695}, {141, 17472}, {142, 3072}, {144, 590736}, {145, 21}};
    for (const FwFile& f : kFwFiles) {
        const auto bytes = FindFwFile(f.id);
        ASSERT_TRUE(bytes) << f.id;
        EXPECT_EQ(bytes->size(), f.resourceSize) << f.id;
        const int length = GetFwFileLength(f.id);
        for (const Expected& e : expected)
            if (e.id == f.id) {
                EXPECT_EQ(length, e.length) << f.id;
            }
        const std::string_view padding(bytes->data() + length, bytes->size() - static_cast<size_t>(length));
        EXPECT_EQ(padding.find_first_not_of('0'), std::string_view::npos) << f.id << ": '0' up to the end";
        EXPECT_EQ(FindFwFile(f.id)->data(), bytes->data()) << "found in place, never copied";
    }
    int error = 0;
    EXPECT_FALSE(FindFwFile(143, &error));
    EXPECT_EQ(error, kErrorResourceNameNotFound);

    const auto spiffs = FindFwFile(kSpiffsImageId);
    EXPECT_EQ(std::string_view(spiffs->data(), 21), kPlaceholderImage);
    EXPECT_TRUE(IsSpiffsPlaceholder(kFwFiles[4].fileName, *spiffs));
    EXPECT_FALSE(IsSpiffsPlaceholder(kFwFiles[3].fileName, *FindFwFile(kApplicationImageId)));
}

TEST(EmbeddedResources, InstalledStoreReplacesThemUntilItEnds) {
    const TableResourceStore empty({});
    {
        ScopedResourceStore scoped(empty);
        EXPECT_EQ(GetFwFileLength(141), 0);
    }
    EXPECT_EQ(GetFwFileLength(141), 17472);
}

}  // namespace
