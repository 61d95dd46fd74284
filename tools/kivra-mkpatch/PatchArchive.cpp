#include "tools/kivra-mkpatch/PatchArchive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lzh/LzhWriter.h"
#include "platform/Disk.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace mkpatch {

bool CompressPatch(const std::string& packPath, std::uint64_t packSize, std::uint32_t dosTime)
{
    const std::string archivePath = InWork(kWorkArchive);
    std::FILE* archive = CreateNewDiskFile(archivePath.c_str());
    if (!archive) return Refuse(Shown(archivePath) + ": cannot be made (" + std::strerror(errno) + ")");
    static char archiveBuffer[1u << 16];
    std::setvbuf(archive, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    std::FILE* source = OpenDiskFile(packPath.c_str(), "rb");
    if (!source) {
        std::fclose(archive);
        return Refuse(Shown(packPath) + ": cannot be read");
    }
    ShowStep("compressing Update.pak", packSize);
    const LzhAddedMember added = AddLzhMember(archive, source, packSize, kPatchPack, dosTime, true);
    std::fclose(source);
    bool written = added.result == LzhAddResult::Added && EndLzhArchive(archive);
    written = std::fclose(archive) == 0 && written;
    EndProgressLine();
    if (added.result == LzhAddResult::CannotRead) return Refuse(Shown(packPath) + ": cannot be read");
    if (added.result == LzhAddResult::TooLarge) return Refuse("Update.pak is too large for an LZH member");
    if (!written) return Refuse(Shown(archivePath) + ": cannot be written (disk full?)");
    return true;
}

}  // namespace mkpatch
