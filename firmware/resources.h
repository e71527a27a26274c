// Firmware images carried inside the program as resources of type FW_FILE: which exist, how
// long each image really is, and the spiffs placeholder.
//
// Layout of every resource: the image bytes, then ASCII '0' up to the resource's fixed size.
// The first run of 17 '0' bytes ends the image, so no image may hold such a run itself.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace firmware {

inline constexpr std::string_view kFwFileType = "FW_FILE";

inline constexpr int kControllerImageId = 140;   // Intel HEX text
inline constexpr int kBootloaderImageId = 141;
inline constexpr int kPartitionsImageId = 142;
inline constexpr int kApplicationImageId = 144;
inline constexpr int kSpiffsImageId = 145;       // a SPIFFS image or the placeholder

struct FwFile {
    int id;
    std::string_view fileName;  // name on the device's SD card; none for the controller image
    size_t resourceSize;        // fixed size of the resource, padding included
};
inline constexpr std::array<FwFile, 5> kFwFiles = {{
    {kControllerImageId, "", 2000002},
    {kBootloaderImageId, "bootloader.bin", 1000000},
    {kPartitionsImageId, "partitions.bin", 1000000},
    {kApplicationImageId, "application.bin", 2000000},
    {kSpiffsImageId, "spiffs.bin", 2000000},
}};

inline constexpr char kPaddingByte = '0';
inline constexpr size_t kEndMarkerLength = 17;

// A resource that begins with this text holds no image (only checked for "spiffs.bin").
inline constexpr std::string_view kPlaceholderText = "Spiffs.bin";
inline constexpr std::string_view kPlaceholderFileName = "spiffs.bin";
// The placeholder of a build without SPIFFS image.
inline constexpr std::string_view kPlaceholderImage = "Spiffs.bin\r\nAnfang0\r\n";

// Error codes of a failed look-up, as the resource look-up of the original platform reports
// them (shown to the user as "dwError %d").
inline constexpr int kErrorResourceTypeNotFound = 1813;
inline constexpr int kErrorResourceNameNotFound = 1814;

// Resources by type and integer id. The bytes stay valid and unchanged for the store's life.
class ResourceStore {
public:
    virtual ~ResourceStore() = default;
    // The bytes of resource (type, id); type compares without regard to case. On failure
    // nothing is returned and *lastError (when given) gets one of the codes above.
    virtual std::optional<std::span<const char>> Find(std::string_view type, int id,
                                                      int* lastError = nullptr) const = 0;
};

// A store over byte ranges owned by someone else (the linked-in images, or a test's texts).
class TableResourceStore : public ResourceStore {
public:
    struct Entry {
        std::string type;
        int id;
        std::span<const char> bytes;
    };
    explicit TableResourceStore(std::vector<Entry> entries) : entries_(std::move(entries)) {}
    std::optional<std::span<const char>> Find(std::string_view type, int id,
                                              int* lastError = nullptr) const override;

private:
    std::vector<Entry> entries_;
};

// The store the program reads: the images linked into the executable unless one was installed.
const ResourceStore& Resources();
// The images linked into the executable.
const ResourceStore& EmbeddedResources();
// Installs a store (nullptr: back to the linked-in images). Tests only.
void SetResourceStore(const ResourceStore* store);

class ScopedResourceStore {
public:
    explicit ScopedResourceStore(const ResourceStore& store) { SetResourceStore(&store); }
    ~ScopedResourceStore() { SetResourceStore(nullptr); }
    ScopedResourceStore(const ScopedResourceStore&) = delete;
    ScopedResourceStore& operator=(const ScopedResourceStore&) = delete;
};

// Look-up of FW_FILE id as the program makes it; *lastError gets the code when it is missing.
std::optional<std::span<const char>> FindFwFile(int id, int* lastError = nullptr);

// Offset of the first run of 17 '0' bytes; the whole size when there is none.
inline size_t FwImageLength(std::span<const char> resource) {
    size_t run = 0;
    for (size_t i = 0; i < resource.size(); ++i) {
        run = resource[i] == kPaddingByte ? run + 1 : 0;
        if (run == kEndMarkerLength) return i + 1 - kEndMarkerLength;
    }
    return resource.size();
}

// Real length of the image in FW_FILE id; 0 when the resource is missing or begins with the
// end marker.
int GetFwFileLength(int id);

// True when the file is the spiffs image ("spiffs.bin" in its name) and its resource begins
// with "Spiffs.bin": such a resource holds no image and is not sent. Both case-sensitive.
bool IsSpiffsPlaceholder(std::string_view fileName, std::span<const char> resource);

}  // namespace firmware
