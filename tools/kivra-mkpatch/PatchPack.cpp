#include "tools/kivra-mkpatch/PatchPack.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace mkpatch {

namespace {

std::uint64_t writtenBytes = 0;
std::uint64_t bytesToWrite = 0;

// Where one file's bytes come from: a file of NEW's pack, a disk file, or
// neither for the plan's own text.
struct Source {
    int pack = -1;
    std::FILE* disk = nullptr;
    bool open = false;
};

Source OpenSource(const PatchFile& file)
{
    Source source;
    if (file.fromPack) {
        const std::size_t slash = file.fromPack->path.rfind('\\');
        const std::string entry =
            slash == std::string::npos ? file.fromPack->path : file.fromPack->path.substr(slash + 1);
        if (newPack.SetCurrentDir(file.fromPack->directory) == 0)
            source.pack = newPack.OpenFile(entry.c_str(), OF_READ, kInPack);
    } else if (!file.fromDisk.empty()) {
        source.disk = std::fopen(file.fromDisk.string().c_str(), "rb");
    }
    source.open = file.fromPack ? source.pack != -1 : file.fromDisk.empty() || source.disk;
    return source;
}

void CloseSource(const Source& source)
{
    if (source.pack != -1) newPack.CloseFile(source.pack);
    if (source.disk) std::fclose(source.disk);
}

// Makes file's directory and entry in the open Update.pak: the engine's
// handle of it, or -1 after saying why.
int CreateInPatch(const PatchFile& file)
{
    const std::size_t cut = file.path.rfind('\\');
    const std::string directory = "Z:\\" + (cut == std::string::npos ? std::string() : file.path.substr(0, cut));
    const std::string name = cut == std::string::npos ? file.path : file.path.substr(cut + 1);
    if (patchPack.MakeDir(directory.c_str()) != 0 || patchPack.ChangeDir(directory.c_str()) != 0) {
        Refuse(std::string(kPatchPack) + ": " + Shown(directory) + " cannot be made");
        return -1;
    }
    const int to = patchPack.OpenFile(name.c_str(), OF_WRITE, kInPack);
    if (to == -1) Refuse(std::string(kPatchPack) + ": " + Shown(file.path) + " cannot be made");
    return to;
}

// Copies file's bytes from source into the patch's entry to, item by item,
// until a read or a write fails.
void CopyBytes(const PatchFile& file, const Source& source, int to, bool& readOk, bool& writeOk)
{
    for (std::uint64_t at = 0; readOk && writeOk && at < file.size;) {
        const std::size_t item = file.size - at < kChunk ? static_cast<std::size_t>(file.size - at) : kChunk;
        if (file.fromPack)
            readOk = newPack.Read(bufferA, item, 1, source.pack) == 1;
        else if (source.disk)
            readOk = std::fread(bufferA, item, 1, source.disk) == 1;
        else
            std::memcpy(bufferA, file.text.data() + at, item);
        if (readOk) writeOk = patchPack.Write(bufferA, item, 1, to) == 1;
        at += item;
        writtenBytes += item;
        if (readOk && writeOk) ShowProgress("writing Update.pak", writtenBytes, bytesToWrite, "bytes");
    }
}

// Copies one file into the open Update.pak; false after saying why.
bool PutIntoPatch(const PatchFile& file)
{
    const int to = CreateInPatch(file);
    if (to == -1) return false;
    const Source source = OpenSource(file);
    bool readOk = source.open;
    bool writeOk = true;
    CopyBytes(file, source, to, readOk, writeOk);
    // A disk file that grew since it was listed: the patch would not hold
    // what NEW holds.
    if (source.disk && readOk && writeOk && std::fgetc(source.disk) != EOF) readOk = false;
    CloseSource(source);
    writeOk = patchPack.CloseFile(to) == 0 && writeOk;
    const std::string from =
        file.fromPack ? "NEW's pack: Kivra_Pak\\" + Shown(file.fromPack->path) : file.fromDisk.string();
    if (!readOk) return Refuse(from + ": cannot be read, or changed while the patch was made");
    if (!writeOk) return Refuse(std::string(kPatchPack) + ": " + Shown(file.path) + ": cannot be written (disk full?)");
    return true;
}

// Where the entries of the open Update.pak lie in its host file, directory
// by directory; false when its tree cannot be walked.
bool FindEntries(std::vector<long>& entries)
{
    std::vector<std::int32_t> directories{0};
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(patchPack.BlockCount()), 0);
    for (std::size_t next = 0; next < directories.size(); ++next) {
        for (std::int32_t block = directories[next];;) {
            pack::DirEntry slots[pack::kEntriesPerBlock];
            if (block < 0 || block >= patchPack.BlockCount() || seen[static_cast<std::size_t>(block)] ||
                !patchPack.ReadEntries(block, 0, pack::kEntriesPerBlock, slots))
                return false;
            seen[static_cast<std::size_t>(block)] = 1;
            for (int slot = 0; slot < pack::kEntriesPerBlock; ++slot) {
                const pack::DirEntry& entry = slots[slot];
                if (entry.InUse() == 0) continue;
                entries.push_back(static_cast<long>(pack::BlockOffset(block)) + slot * pack::kEntrySize);
                if (entry.Type() == pack::kTypeDirectory && std::strcmp(entry.Name(), ".") != 0 &&
                    std::strcmp(entry.Name(), "..") != 0)
                    directories.push_back(entry.FirstBlock());
            }
            block = patchPack.NextBlock(block);
            if (block == 0) break;
        }
    }
    return true;
}

// Writes ticks into the time of every entry at entries in the file at path;
// false after saying why.
bool WriteEntryTimes(const std::string& path, const std::vector<long>& entries, std::uint64_t ticks)
{
    std::uint8_t high[4];
    std::uint8_t low[4];
    pack::StoreU32(high, static_cast<std::uint32_t>(ticks >> 32));
    pack::StoreU32(low, static_cast<std::uint32_t>(ticks));
    std::FILE* file = OpenDiskFile(path.c_str(), "rb+");
    bool written = file != nullptr;
    for (long at : entries)
        written = written && SeekDiskFile(file, at + pack::DirEntry::kTimeHigh, SEEK_SET) == 0 &&
                  WriteDiskFile(high, sizeof high, 1, file) == 1 &&
                  SeekDiskFile(file, at + pack::DirEntry::kTimeLow, SEEK_SET) == 0 &&
                  WriteDiskFile(low, sizeof low, 1, file) == 1;
    if (file) written = CloseDiskFile(file) == 0 && written;
    if (!written) return Refuse(Shown(path) + ": cannot be written (disk full?)");
    return true;
}

}  // namespace

bool WritePatchPack(const Plan& plan, std::string& packPath)
{
    packPath = InWork(kWorkPack);
    if (packPath.size() >= static_cast<std::size_t>(kMaxPath))
        return Refuse(Shown(packPath) + ": path too long for the pack engine (" + std::to_string(kMaxPath - 1) +
                      " bytes)");
    if (patchPack.Open(packPath.c_str(), "wb") != 1) return Refuse(Shown(packPath) + ": cannot be made");
    patchPack.Close();
    if (patchPack.Open(packPath.c_str(), "rb+") != 1) return Refuse(Shown(packPath) + ": cannot be opened");
    bytesToWrite = 0;
    for (const PatchFile& file : plan.files) bytesToWrite += file.size;
    for (const std::string& folder : plan.folders) {
        const std::string path = "Z:\\" + folder;
        if (patchPack.MakeDir(path.c_str()) != 0)
            return Refuse(std::string(kPatchPack) + ": " + Shown(folder) + " cannot be made");
    }
    for (const PatchFile& file : plan.files)
        if (!PutIntoPatch(file)) return false;
    patchPack.Close();
    EndProgressLine();
    return true;
}

bool StampPackTimes(const std::string& path, std::uint64_t ticks)
{
    if (patchPack.Open(path.c_str(), "rb") != 1) return Refuse(Shown(path) + ": cannot be opened");
    std::vector<long> entries;
    const bool whole = FindEntries(entries);
    patchPack.Close();
    if (!whole) return Refuse(Shown(path) + ": its tree cannot be read back");
    return WriteEntryTimes(path, entries, ticks);
}

}  // namespace mkpatch
