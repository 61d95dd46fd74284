#include "tools/kivra-mkpatch/ReadMe.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"

namespace fs = std::filesystem;

namespace mkpatch {

namespace {

bool ReadWholeFile(const fs::path& path, std::string& bytes)
{
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (!file) return false;
    bytes.clear();
    for (std::size_t got; (got = std::fread(bufferA, 1, kChunk, file)) > 0;)
        bytes.append(reinterpret_cast<const char*>(bufferA), got);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

}  // namespace

bool ReadReadMe(Options& options)
{
    if (!options.readMeGiven) return true;
    const std::string& path = options.readMePath;
    std::error_code error;
    if (!fs::is_regular_file(path, error) || !ReadWholeFile(path, options.readMe))
        return Refuse(path + ": cannot be read (--readme)");
    if (options.readMe.size() > kMaxPatchFile) return Refuse(path + ": too large (--readme)");
    options.readMeTime = FileTimeTicks(fs::last_write_time(path, error));
    if (error) return Refuse(path + ": cannot be read (--readme)");
    return true;
}

bool SameReadMe(const TreeFile& file, const Options& options)
{
    std::string bytes;
    if (!ReadWholeFile(file.host, bytes)) return Refuse(file.host.string() + ": cannot be read");
    if (bytes != options.readMe)
        return Refuse(file.host.string() + ": NEW's own ReadMe.txt differs from the one --readme gives");
    return true;
}

}  // namespace mkpatch
