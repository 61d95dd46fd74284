// ParseVersionText and the line reader under it, over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "update/Version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The readers take a zero-terminated text they may change; it is sized
    // exactly, so a read past the terminator is caught.
    std::vector<char> text(data, data + size);
    text.push_back(0);
    VersionNumber version{-1, -1, -1, -1};
    const bool parsed = ParseVersionText(text.data(), version);
    if (parsed) {
        // Each component came from the text: it orders equal to itself.
        if (CompareVersions(version, version) != VersionOrder::Equal) std::abort();
    }

    std::vector<char> again(data, data + size);
    again.push_back(0);
    TextLineReader reader(again.data());
    // Every line is a part of the text: no more lines than bytes plus one.
    std::size_t lines = 0;
    while (char* line = reader.NextLine()) {
        if (line < again.data() || line > again.data() + size) std::abort();
        while (!reader.scanner.AtEnd()) {
            const std::int32_t before = reader.scanner.position;
            reader.scanner.ReadInteger();
            reader.scanner.SkipBlanks();
            if (reader.scanner.position == before) ++reader.scanner.position;
        }
        if (++lines > size + 1) std::abort();
    }
    return 0;
}
