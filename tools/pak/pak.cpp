// pak: builds and inspects pack files with the patcher's own engine.
//
// Exit status: 0 success, 1 failure (one line on stderr says why), 2 usage.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "pack/PackFileManager.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: pak create PACK         make a new, empty pack\n"
    "       pak info PACK           show the header and the block usage\n";

CPackFileManager pack;

int Fail(const char* what, const char* path)
{
    std::fprintf(stderr, "pak: %s: %s\n", path, what);
    return kExitFailure;
}

bool Exists(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0;
}

// Prints text with line feeds and other control bytes escaped.
void PrintEscaped(const char* text)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '\n')
            std::fputs("\\n", stdout);
        else if (*p == '\r')
            std::fputs("\\r", stdout);
        else if (*p < 0x20 || *p == 0x7f)
            std::printf("\\x%02x", *p);
        else
            std::putchar(*p);
    }
}

int Create(const char* path)
{
    if (Exists(path)) return Fail("exists already", path);
    if (pack.Open(path, "wb") != 1) return Fail("cannot be created", path);
    const bool ok = pack.BlockCount() == 1;
    pack.Close();
    return ok ? 0 : Fail("could not be written", path);
}

// Opens an existing pack read-only, with the engine's own messages kept off
// the tool's output.
bool OpenForReading(const char* path)
{
    std::fflush(stdout);
    return pack.Open(path, "rb") == 1;
}

int Info(const char* path)
{
    if (!Exists(path)) return Fail("no such file", path);
    if (!OpenForReading(path)) return Fail("not a pack file", path);
    const std::uint8_t* header = pack.HeaderImage();
    char pathText[pack::kPathTextSize + 1] = {};
    std::memcpy(pathText, header + pack::kPathTextOffset, pack::kPathTextSize);

    std::int32_t used = 0;
    for (std::int32_t b = 0; b < pack.BlockCount(); ++b)
        if (pack.TableEntry(b) != pack::kFreeBlock) ++used;

    std::fputs("banner: ", stdout);
    PrintEscaped(reinterpret_cast<const char*>(header));
    std::fputs("\npath: ", stdout);
    PrintEscaped(pathText);
    std::printf("\nsectors: %u\n", pack::LoadU32(header + pack::kTableSectorsOffset));
    std::printf("blocks: %d\n", pack.BlockCount());
    std::printf("used: %d\n", used);
    std::printf("free: %d\n", pack.BlockCount() - used);
    pack.Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "create") == 0) return Create(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "info") == 0) return Info(argv[2]);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}
