// The firmware images as program resources of type FW_FILE: every one the program file
// carries is enumerated once, found with FindResourceW (the type name compares without regard
// to case), loaded and locked. The bytes stay mapped with the program for its lifetime.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "resources/embedded_resources.h"

namespace firmware {
namespace {

BOOL CALLBACK AddResource(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR table) {
    if (!IS_INTRESOURCE(name)) return TRUE;  // images have integer ids only
    HRSRC found = ::FindResourceW(module, name, L"FW_File");
    HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    if (!bytes) return TRUE;
    const DWORD size = ::SizeofResource(module, found);
    reinterpret_cast<std::vector<EmbeddedResource>*>(table)->push_back(
        {"FW_FILE", static_cast<int>(reinterpret_cast<uintptr_t>(name)), bytes, bytes + size});
    return TRUE;
}

}  // namespace

std::span<const EmbeddedResource> EmbeddedResourceTable() {
    static const std::vector<EmbeddedResource> table = [] {
        std::vector<EmbeddedResource> resources;
        ::EnumResourceNamesW(::GetModuleHandleW(nullptr), L"FW_FILE", &AddResource,
                             reinterpret_cast<LONG_PTR>(&resources));
        std::sort(resources.begin(), resources.end(),
                  [](const EmbeddedResource& a, const EmbeddedResource& b) { return a.id < b.id; });
        return resources;
    }();
    return table;
}

}  // namespace firmware
