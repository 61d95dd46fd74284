// The reader of PE version resources over arbitrary bytes: once as a whole
// executable, once as the resource itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Win32.h"
#include "platform/posix/PeVersion.h"

namespace {

const char* const kQueries[] = {"\\",
                                "",
                                "\\VarFileInfo\\Translation",
                                "\\StringFileInfo\\040904b0\\FileVersion",
                                "\\StringFileInfo\\041204b0\\FileVersion",
                                "\\\\StringFileInfo\\\\"};

void QueryResource(const std::uint8_t* resource, std::size_t length)
{
    for (const char* query : kQueries) {
        peversion::VersionValue value{};
        if (!peversion::FindVersionValue(resource, length, query, &value)) continue;
        if (value.offset > length || value.size > length - value.offset) std::abort();
    }
}

// What GetFileVersionInfoA and VerQueryValueA do with the resource.
void QueryBlock(const std::vector<std::uint8_t>& resource)
{
    std::vector<std::uint8_t> block(peversion::VersionBlockSize(resource.size()));
    if (!peversion::BuildVersionBlock(resource.data(), resource.size(), block.data(), block.size())) return;
    void* value = nullptr;
    UINT length = 0;
    char query[64] = "\\StringFileInfo\\040904b0\\FileVersion";
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        const auto* pair = static_cast<const std::uint8_t*>(value);
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%02x%02x%02x%02x\\FileVersion", pair[1], pair[0], pair[3],
                      pair[2]);
    }
    for (const char* q : {"\\", static_cast<const char*>(query)}) {
        if (!VerQueryValueA(block.data(), q, &value, &length)) continue;
        const auto* at = static_cast<const std::uint8_t*>(value);
        if (at < block.data() || at + length > block.data() + block.size()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> resource;
    if (peversion::ExtractVersionResource(data, size, &resource)) {
        QueryResource(resource.data(), resource.size());
        QueryBlock(resource);
    }
    QueryResource(data, size);
    if (size <= 65535) QueryBlock(std::vector<std::uint8_t>(data, data + size));
    return 0;
}
