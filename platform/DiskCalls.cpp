// The table every disk operation goes through, as the platform gives it.
#include "platform/Disk.h"
#include "platform/DiskHost.h"

namespace {

std::size_t Read(void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    return std::fread(buffer, size, count, file);
}

std::size_t Write(const void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    return std::fwrite(buffer, size, count, file);
}

int Seek(std::FILE* file, long offset, int origin) { return std::fseek(file, offset, origin); }
long Tell(std::FILE* file) { return std::ftell(file); }
int Flush(std::FILE* file) { return std::fflush(file); }
int Close(std::FILE* file) { return std::fclose(file); }

}  // namespace

DiskCalls diskCalls = {
    host::OpenFile,
    host::OpenLockedFile,
    host::CreateNewFile,
    Read,
    Write,
    Seek,
    Tell,
    Flush,
    Close,
    host::RemoveFile,
    host::RenameFile,
    host::MakeDirectory,
    host::ChangeDirectory,
    host::StatPath,
    host::FreeSpace,
    host::BeginReplacement,
    host::FinishReplacement,
    host::SyncStaged,
    host::SwitchStaged,
    host::UndoStaged,
    host::DropStaged,
    host::SweepTemporaries,
    host::SetTime,
    host::MayWrite,
    host::RemoveFolder,
    host::Truncate,
    host::SyncFile,
    host::SyncFolder,
    host::SyncVolume,
    host::CopyPermissions,
};
