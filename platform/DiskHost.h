// The platform's own disk operations: the entries diskCalls starts with
// (platform/Disk.h states their contracts). posix/Disk.cpp and win32/Disk.cpp
// each give them; nothing but the table calls them.
#pragma once

#include <cstdint>
#include <cstdio>

// Of platform/Disk.h, which the implementations include.
enum class DiskLock;
enum class DiskReplacementEnd;
struct DiskPathInfo;

namespace host {

std::FILE* OpenFile(const char* path, const char* mode);
std::FILE* OpenLockedFile(const char* path, const char* mode, DiskLock lock);
std::FILE* CreateNewFile(const char* path);
int RemoveFile(const char* path);
int RenameFile(const char* from, const char* to);
int MakeDirectory(const char* path);
int ChangeDirectory(const char* path);
int StatPath(const char* path, DiskPathInfo* info);
int FreeSpace(const char* directory, std::uint64_t* bytes);
std::FILE* BeginReplacement(const char* path);
int FinishReplacement(std::FILE* file, DiskReplacementEnd end);
int SyncStaged();
int SwitchStaged();
int UndoStaged();
int DropStaged();
int SweepTemporaries(const char* directory, const char* prefix);
int SetTime(const char* path, long long unixTime);
int MayWrite(const char* path);
int RemoveFolder(const char* path);
int Truncate(std::FILE* file, long length);
int SyncFile(std::FILE* file);
int SyncFolder(const char* directory);
int SyncVolume(const char* directory);
int CopyPermissions(const char* from, const char* to);

}  // namespace host
