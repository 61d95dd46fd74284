// The reader of Wine's registry files over arbitrary text: the keys the
// patcher asks for, and every value they hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/posix/RegistryFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The view ends where the input does: nothing past it is there to read.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    registry::ReadArch(text);
    static const std::string_view kPaths[] = {"Software\\Wow6432Node\\Pendix\\Kivra", "Software\\Pendix\\Kivra",
                                              "Software", ""};
    for (const std::string_view path : kPaths) {
        const auto key = registry::ReadKey(text, path);
        if (!key) continue;
        for (const registry::Value& value : key->values) {
            // Finding a value by its own name gives the first of that name.
            if (key->Find(value.name) == nullptr) std::abort();
        }
        key->Find("InstallPath");
    }
    return 0;
}
