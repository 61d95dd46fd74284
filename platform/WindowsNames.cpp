// The names Windows cannot use (WindowsNames.h).
#include "platform/WindowsNames.h"

#include <cstring>
#include <string_view>

#include "platform/AsciiCase.h"

namespace {

// Whether the part of name before its first dot is a device's name.
bool IsDeviceName(const char* name)
{
    std::size_t base = 0;
    while (name[base] && name[base] != '.') ++base;
    // Windows also takes a device's name followed by spaces as the device.
    std::size_t trimmed = base;
    while (trimmed > 0 && name[trimmed - 1] == ' ') --trimmed;
    auto is = [&](const char* device) {
        return trimmed == std::strlen(device) && ascii::EqualIgnoringCase(std::string_view(name, trimmed), device);
    };
    if (is("CON") || is("PRN") || is("AUX") || is("NUL")) return true;
    if (trimmed != 4) return false;
    const bool port = ascii::EqualIgnoringCase(std::string_view(name, 3), "COM") ||
                      ascii::EqualIgnoringCase(std::string_view(name, 3), "LPT");
    return port && name[3] >= '1' && name[3] <= '9';
}

}  // namespace

const char* WindowsNameFault(const char* name)
{
    if (name[0] == 0) return "is empty";
    for (const char* c = name; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x20) return "holds a control character";
        if (std::strchr("<>:\"/\\|?*", *c)) return "holds one of < > : \" / \\ | ? *";
    }
    const char last = name[std::strlen(name) - 1];
    if (last == '.' || last == ' ') return "ends in a dot or a space";
    if (IsDeviceName(name)) return "is a device's name (CON, NUL, COM1, ...)";
    return nullptr;
}
