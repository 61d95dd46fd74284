// The pack engine's inner steps, for the tests that pin them one by one: the
// host file layer, the allocator and single directory steps. Nothing but
// tests reaches them.
#pragma once

#include "pack/PackFileManager.h"
#include "platform/Disk.h"

class PackEngineProbe {
public:
    static std::size_t HostRead(CPackFileManager& e, void* buffer, std::size_t size, std::size_t count)
    {
        return e.HostRead(buffer, size, count);
    }
    static std::size_t HostWrite(CPackFileManager& e, const void* buffer, std::size_t size, std::size_t count)
    {
        return e.HostWrite(buffer, size, count);
    }
    static int HostSeek(CPackFileManager& e, std::int32_t offset, int origin) { return e.HostSeek(offset, origin); }
    static int Flush(CPackFileManager& e) { return e.Flush(); }
    static std::int32_t AllocateBlock(CPackFileManager& e, int mode) { return e.AllocateBlock(mode); }
    static int SplitFirst(const char* path, char* first, char* rest)
    {
        return CPackFileManager::SplitFirst(path, first, rest);
    }
    static int MakeOneDir(CPackFileManager& e, const char* name) { return e.MakeOneDir(name); }
    static int FindFreeHandle(const CPackFileManager& e) { return e.FindFreeHandle(); }
    static int OpenMode(const CPackFileManager& e) { return e.OpenMode(); }
    static const char* HostPath(const CPackFileManager& e) { return e.HostPath(); }
    // Runs the engine with or without its directory cache.
    static void UseCache(CPackFileManager& e, bool on)
    {
        e.cacheEnabled = on;
        e.ForgetCache();
    }
    // Runs the engine with its writes gathered into runs of at most capacity
    // bytes (a block to kRunBytes), or a block at a time.
    static void UseRuns(CPackFileManager& e, bool on, std::int32_t capacity = kRunBytes)
    {
        e.SettleRun();
        e.runsEnabled = on;
        e.runCapacity = capacity < pack::kBlockSize ? pack::kBlockSize : capacity > kRunBytes ? kRunBytes : capacity;
    }
    // Whether the run holds bytes that have not been written to the host.
    static bool RunHeld(const CPackFileManager& e) { return e.runFilled != 0; }
    // Makes what the stream holds reach the host file, leaving the run held.
    static void FlushStream(CPackFileManager& e)
    {
        if (e.hostFile) FlushDiskFile(e.hostFile);
    }
};
