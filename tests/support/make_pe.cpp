// make-pe FILE VERSION: writes a stand-in executable whose version resource
// gives FileVersion VERSION ("1.0.2.29"). For tests and the demo.
#include <cstdio>
#include <fstream>

#include "support/PeWriter.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: make-pe FILE VERSION\n", stderr);
        return 2;
    }
    testpe::VersionResource r;
    r.fileVersion = argv[2];
    unsigned parts[4] = {};
    std::sscanf(argv[2], "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    for (int i = 0; i < 4; ++i) r.fixed[i] = static_cast<std::uint16_t>(parts[i]);
    const auto image = testpe::Executable(r);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return out ? 0 : 1;
}
