// The pack as a disk file, opened and told apart from others (ThePack.h).
#include "tools/pak/ThePack.h"

#include <cstdint>
#include <cstdio>
#include <system_error>

#include "pack/PackFormat.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"

namespace fs = std::filesystem;

namespace paktool {

namespace {

const char kInUse[] = "in use by another program";

// Whether the disk file at disk (a host path) is the pack itself, by device
// and inode, however either is named.
bool IsThePack(const fs::path& disk)
{
    char host[kHostPathMax];
    std::error_code error;
    return ResolveDiskPath(packSystemName.c_str(), host, sizeof host) && fs::equivalent(disk, host, error);
}

}  // namespace

bool OpenPack(const std::string& path, bool writable, bool repairing)
{
    packName = path;
    if (!HostToSystemText(path, packSystemName)) return Refuse(path, kNoCodePageForm);
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) return Refuse(path, "no such file");
    // The engine prints a message on standard output when it cannot read a
    // header; a file too short to hold one is refused here, so that nothing
    // but the verb's own output reaches standard output.
    const std::uintmax_t size = fs::is_regular_file(status) ? fs::file_size(path, error) : 0;
    if (error || size < static_cast<std::uintmax_t>(pack::kHeaderImageSize)) return Refuse(path, "not a pack file");
    std::fflush(stdout);
    // A writer holds the pack alone, and readers keep writers out.
    if (engine.Open(packSystemName.c_str(), writable ? "rb+" : "rb") == 1) {
        packWritable = writable;
        // Blocks the table calls in use past the data area may be named by
        // a chain: appending one would give it to two.
        if (writable && !repairing && engine.WritesRefused()) {
            engine.Close();
            packWritable = false;
            return Refuse(path, "its table names blocks past its end (see pak fsck --repair)");
        }
        return true;
    }
    if (engine.InUse()) return Refuse(path, kInUse);
    if (writable && engine.Open(packSystemName.c_str(), "rb") == 1) {
        engine.Close();
        return Refuse(path, "cannot be opened for writing");
    }
    return Refuse(path, engine.InUse() ? kInUse : "not a pack file");
}

bool NotThePack(const fs::path& source, const char* reason)
{
    return !IsThePack(source) || Refuse(source.string(), reason);
}

bool TargetName(const fs::path& target, std::string& system)
{
    if (!HostToSystemText(target.string(), system)) return Refuse(target.string(), kNoCodePageForm);
    char host[kHostPathMax];
    if (ResolveDiskPath(system.c_str(), host, sizeof host) && IsThePack(host))
        return Refuse(target.string(), "is the pack being read");
    return true;
}

}  // namespace paktool
