// Files copied between the disk and the pack (Copying.h).
#include "tools/pak/Copying.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "platform/Disk.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/PackDirectories.h"
#include "tools/pak/Printing.h"
#include "tools/pak/ThePack.h"

namespace fs = std::filesystem;

namespace paktool {

namespace {

// Files move in items of this size and then one item of the remainder, as the
// patcher copies them.
constexpr std::size_t kCopyItem = 65536;
// No file is larger than a full data area.
constexpr std::uint64_t kMaxFileSize = static_cast<std::uint64_t>(pack::kMaxBlocks) * pack::kBlockSize;

std::uint8_t copyBuffer[kCopyItem];

// Runs move(item size) over a copy of size bytes: whole items, then the
// remainder.
template <class Move> Copy CopyItems(std::uint64_t size, Move move)
{
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t item = left < kCopyItem ? static_cast<std::size_t>(left) : kCopyItem;
        const Copy step = move(item);
        if (step != Copy::kDone) return step;
        left -= item;
    }
    return Copy::kDone;
}

Copy CopyIntoPack(std::FILE* from, std::uint64_t size, int handle)
{
    return CopyItems(size, [&](std::size_t item) {
        if (ReadDiskFile(copyBuffer, item, 1, from) != 1) return Copy::kSourceFailed;
        return engine.Write(copyBuffer, item, 1, handle) == 1 ? Copy::kDone : Copy::kTargetFailed;
    });
}

}  // namespace

Copy CopyOutOfPack(int handle, std::FILE* to)
{
    const std::int32_t length = engine.GetLength(handle);
    // A size beyond the data area can only come from a damaged entry.
    if (length < 0 ||
        static_cast<std::int64_t>(length) > static_cast<std::int64_t>(engine.BlockCount()) * pack::kBlockSize)
        return Copy::kSourceFailed;
    return CopyItems(static_cast<std::uint64_t>(length), [&](std::size_t item) {
        if (engine.Read(copyBuffer, item, 1, handle) != 1) return Copy::kSourceFailed;
        return WriteDiskFile(copyBuffer, item, 1, to) == 1 ? Copy::kDone : Copy::kTargetFailed;
    });
}

bool DiskFileSize(const fs::path& disk, std::uint64_t& size)
{
    std::error_code error;
    const fs::file_status status = fs::status(disk, error);
    if (!fs::exists(status)) return Refuse(disk.string(), "no such file");
    if (!fs::is_regular_file(status)) return Refuse(disk.string(), "not a regular file");
    size = fs::file_size(disk, error);
    if (error) return Refuse(disk.string(), error.message());
    if (size > kMaxFileSize) return Refuse(disk.string(), "too large for a pack");
    return true;
}

bool PutFile(const fs::path& disk, std::uint64_t size, const PackPath& path)
{
    if (!NotThePack(disk, "is the pack itself") || !MakePackDirectory(path, path.size() - 1) ||
        !MayWriteInto(path, path.size() - 1))
        return false;
    const std::string text = EnginePath(path);
    // Opened by the host's own name, which needs no conversion: a source is
    // only read, so it may be any file the host can name.
    std::FILE* in = std::fopen(disk.string().c_str(), "rb");
    if (!in) return Refuse(disk.string(), std::strerror(errno));
    // Opened by its name from inside its directory: given the whole path, the
    // engine would first look the name up as a directory, one more pass over
    // a directory that may hold thousands of entries.
    const int handle = engine.ChangeDir(EnginePath(path, path.size() - 1).c_str()) == 0
                           ? engine.OpenFile(path.back().c_str(), OF_WRITE, kInPack)
                           : -1;
    if (handle == -1) {
        CloseDiskFile(in);
        if (IsPackDirectory(text)) return Refuse(Shown(text), "is a directory");
        return RefuseWrite(Shown(text), "cannot be created (see pak fsck)");
    }
    const Copy copy = CopyIntoPack(in, size, handle);
    CloseDiskFile(in);
    // What was read of a source that could not be read whole is dropped; the
    // engine drops a write that failed itself when the handle closes.
    if (copy == Copy::kSourceFailed) {
        engine.DiscardFile(handle);
        return Refuse(disk.string(), "cannot be read");
    }
    if (engine.CloseFile(handle) != 0 || copy != Copy::kDone) return RefuseWrite(Shown(text), kNotWritten);
    return true;
}

bool GetFile(int handle, const std::string& source, const fs::path& target)
{
    std::string system;
    if (!TargetName(target, system)) {
        engine.CloseFile(handle);
        return false;
    }
    std::FILE* out = BeginDiskReplacement(system.c_str());
    if (!out) {
        const int error = errno;
        engine.CloseFile(handle);
        return Refuse(target.string(), std::strerror(error));
    }
    Copy copy = CopyOutOfPack(handle, out);
    engine.CloseFile(handle);
    if (FinishDiskReplacement(out, copy == Copy::kDone ? DiskReplacementEnd::kReplace : DiskReplacementEnd::kDrop) !=
            0 &&
        copy == Copy::kDone)
        copy = Copy::kTargetFailed;
    if (copy == Copy::kDone) return true;
    if (copy == Copy::kSourceFailed) return Refuse(Shown(source), kUnreadable);
    return Refuse(target.string(), kNotWritten);
}

}  // namespace paktool
