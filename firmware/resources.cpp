#include "firmware/resources.h"

#include <algorithm>
#include <climits>

#include "resources/embedded_resources.h"

namespace firmware {

namespace {

bool SameTypeName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

const ResourceStore* g_installedStore = nullptr;

}  // namespace

std::optional<std::span<const char>> TableResourceStore::Find(std::string_view type, int id,
                                                              int* lastError) const {
    bool typeSeen = false;
    for (const Entry& e : entries_) {
        if (!SameTypeName(e.type, type)) continue;
        typeSeen = true;
        if (e.id == id) return e.bytes;
    }
    if (lastError) *lastError = typeSeen ? kErrorResourceNameNotFound : kErrorResourceTypeNotFound;
    return std::nullopt;
}

const ResourceStore& EmbeddedResources() {
    static const TableResourceStore store([] {
        std::vector<TableResourceStore::Entry> entries;
        for (const EmbeddedResource& r : EmbeddedResourceTable())
            entries.push_back({std::string(r.type), r.id,
                               std::span<const char>(r.begin, static_cast<size_t>(r.end - r.begin))});
        return entries;
    }());
    return store;
}

const ResourceStore& Resources() {
    return g_installedStore ? *g_installedStore : EmbeddedResources();
}

void SetResourceStore(const ResourceStore* store) {
    g_installedStore = store;
}

std::optional<std::span<const char>> FindFwFile(int id, int* lastError) {
    return Resources().Find("FW_File", id, lastError);
}

int GetFwFileLength(int id) {
    const auto bytes = FindFwFile(id);
    if (!bytes) return 0;
    return static_cast<int>(std::min<size_t>(FwImageLength(*bytes), INT_MAX));
}

bool IsSpiffsPlaceholder(std::string_view fileName, std::span<const char> resource) {
    return fileName.find(kPlaceholderFileName) != std::string_view::npos &&
           resource.size() >= kPlaceholderText.size() &&
           std::string_view(resource.data(), kPlaceholderText.size()) == kPlaceholderText;
}

}  // namespace firmware
