// The pack engine: one instance per open pack file.
//
// An instance owns its host file, keeps the whole allocation table in memory,
// remembers a current directory and holds a fixed table of file handles. It
// follows the conventions of the platform's _lopen family: 0 for success and
// -1 for failure, unless an operation says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "pack/PackCache.h"
#include "pack/PackFormat.h"
#include "pack/PackPending.h"
#include "platform/Win32.h"

inline constexpr int kMaxPath = 260;       // MAX_PATH: the engine's path buffers
inline constexpr int kHandleSlots = 1500;  // handle numbers 1 to 1499

// Where OpenFile looks for a file: in the pack, on disk (through _lopen), or
// in the pack and then on disk.
inline constexpr int kInPack = 1;
inline constexpr int kOnDisk = 2;
inline constexpr int kInPackThenOnDisk = kInPack | kOnDisk;

// What a block from AllocateBlock will hold: a directory's entries (it reads
// as zeros) or file data (its old bytes may stay), or data of a new file
// that the run gathers (a block appended for it reaches the host file with
// the run, zero-filled before its data).
inline constexpr int kBlockForDirectory = 1;
inline constexpr int kBlockForData = 2;
inline constexpr int kBlockForRun = 3;

// The run's buffer: the most bytes of new file data gathered before one host
// write takes them.
inline constexpr int kRunBytes = 128 * 1024;

// One open file of an engine: a file inside the pack, or a disk file opened
// through the platform.
//
// Where a position stands: currentBlock is the block that holds it and
// blockOffset (0 to 2048) the offset in that block. A read or write that ends
// exactly at a block's end leaves the offset at 2048 in the block just
// finished, and the next transfer first follows the chain (or extends it) to
// the next block. Seek and the contiguous read path instead put such a
// position at offset 0 of the following block, which may lie past the chain;
// Write then takes it as the end of the block before.
struct PackHandle {
    std::uint8_t inUse;
    char name[pack::kNameSize];
    std::uint8_t access;      // 1 = may read, 2 = may write
    std::int32_t firstBlock;  // 0 while the file has no data
    std::int32_t position;
    std::int32_t size;
    std::uint32_t timeHigh;
    std::uint32_t timeLow;
    std::int32_t entryBlock;  // where the file's directory entry lies
    std::int32_t entrySlot;
    std::int32_t currentBlock;  // the block holding the position (above)
    std::int32_t blockOffset;   // 0 to 2048
    std::uint8_t type;
    std::uint8_t dirty;   // written to, or marked for rewrite
    std::uint8_t inPack;  // 0 = a disk file
    std::uint8_t contiguous;
    HFILE diskHandle;
    // Made by CreateNewFile: the chain from firstBlock is the handle's own
    // and reaches the stored table only when the handle is closed.
    std::uint8_t created;
    // Written over an existing file, whose entry (entryBlock, entrySlot) and
    // chain from replacedFirst stay until the handle is closed.
    std::uint8_t replacing;
    std::int32_t replacedFirst;
    std::uint8_t writeFailed;  // a write stopped short
    std::int32_t directory;    // first block of the directory that lists the file
};

// What AllocateBlock calls once the allocation table is full, after every
// unfinished write of the instance has been dropped and the instance closed.
// It is given the pack's host path and must end the process; the default
// prints "\nError! (FAT overflow)" on standard output and exits with status
// 1. A tool may point it at its own message; a test harness at a function
// that does not return to AllocateBlock (a longjmp). Should it return, the
// process still ends with status 1.
using PackFullFunction = void (*)(const char* hostPath);
extern PackFullFunction packFullStop;

class CPackFileManager {
public:
    CPackFileManager();
    ~CPackFileManager();
    CPackFileManager(const CPackFileManager&) = delete;
    CPackFileManager& operator=(const CPackFileManager&) = delete;

    // Opens (a mode with r: "rb" read-only, "rb+" read-write) or creates (a
    // mode with w) a pack; 1 when the host file is open afterwards, else 0.
    // A host file that is no pack is refused (0), silently but for a header
    // that cannot be read ("\n load pack error!( header )" on stdout).
    //
    // One writer holds a pack: open read-write (or created) the host file is
    // held exclusively until Close, read-only it is shared with other
    // readers. An open that another holder keeps out fails at once (0) and
    // InUse says so.
    //
    // Opening checks the stored tree as `pak fsck` does (IsSound), and the
    // engine keeps clear of what the check found damaged: no entry is
    // written into a directory whose chain is unsound, no block that a chain
    // names is handed out, and no block two chains share is freed. A table
    // that calls a block past the data area's end in use is refused for
    // writing whole (WritesRefused) until it is repaired.
    int Open(const char* hostPath, const char* mode);
    // Closes every handle (storing written files), commits what the writer
    // changed (Commit), then closes the host file. 1.
    int Close();
    bool IsOpen() const { return hostFile != nullptr; }
    // The last Open failed because another open holds the host file.
    bool InUse() const { return inUse; }
    // The stored tree broke no rule and held no lost block when it was
    // opened, and it could be read whole.
    bool IsSound() const { return sound; }
    // A read, write, seek or flush of the host file failed since the pack was
    // opened (kept after Close until the next Open). From that moment the
    // engine writes nothing more to it: what the host file holds is no longer
    // known, and a write made on that guess could damage it. Files being
    // written are dropped, as a failed write drops them, and nothing more is
    // committed.
    bool Failed() const { return hostFailed; }
    // The stored table calls a block past the data area's end in use: no
    // block is handed out and no entry written until `pak fsck --repair`.
    bool WritesRefused() const { return tableTailInUse > 0; }
    // Makes every byte written so far reach the host file. 0 or -1.
    int Flush();

    // --- A writer's change, whole and durable ---------------------------
    //
    // What a writer changes reaches the host file so that a power loss at
    // any moment leaves a pack the game reads, each file wholly old or new:
    //
    // 1. While it writes, new data goes only into blocks that were free
    //    when the pack was opened (or appended): never into a block a chain
    //    named then, even one its own change has freed since. Entries it
    //    writes into directory blocks that were there wait in memory
    //    (PendingBlocks), as do the table's entries.
    // 2. Stage: the data and the pack's growth reach the disk, then the
    //    table entries of the new blocks (blocks in use that nothing names
    //    yet), then those too.
    // 3. Switch: the waiting entries (each within one sector: a file flips
    //    whole) and the links that grow a directory's chain, then a sync.
    // 4. Release: the blocks the change freed (replaced and removed files'
    //    chains, and lost blocks it was asked to free) are stored free,
    //    without a sync: a loss there leaves only lost blocks.
    // Each gives 0, or -1 (Failed() then holds; Stage also refuses while a
    // file is open for writing). A Switch that fails puts back what it
    // wrote; UndoSwitch puts a whole one back, until Release.
    // Commit runs all three; Close commits. Discard instead drops the
    // change: what of it reached the host file is put back, the file's
    // growth cut off, and the instance closed; the pack is then what it was.
    int Stage();
    int Switch();
    int UndoSwitch();
    int Release();
    int Commit();
    void Discard();
    // Whether the writer changed anything since it opened or last released.
    bool Changed() const;
    // Blocks the check at Open found lost (in use, held by no chain): what a
    // stopped writer leaves. FreeLostBlocks frees them with the change
    // (stored at its Release). The count freed.
    std::int32_t LostBlocks() const { return static_cast<std::int32_t>(lostBlocks.size()); }
    std::int32_t FreeLostBlocks();

    // Marks the in-memory table entry of block as changed: it reaches the
    // host file with the writer's change (above). 0.
    int StoreTableEntry(std::int32_t block);
    // The one place that changes the in-memory allocation table.
    void SetTableEntry(std::int32_t block, std::int32_t value);

    // --- Directories and paths -------------------------------------------
    // The separator is the backslash; "Z:\" is the root, "Z:" the current
    // directory, and names compare ignoring the case of ASCII letters. A path
    // of kMaxPath bytes or more, or one with a component longer than a name,
    // is never cut short: every operation refuses it as its failure.

    std::int32_t GetCurrentDir() const { return currentDir; }
    // 0 after making block current; -1 if it is not the first block of a
    // directory.
    int SetCurrentDir(std::int32_t block);
    // 0, or -1 with the current directory unchanged (also when no pack is
    // open).
    int ChangeDir(const char* path);
    // The current directory as "Z:\a\b\"; 1, or 0 with an empty buffer when
    // the text has limit characters or more (or the tree is too deep for it).
    int GetCurrentPath(char* buffer, int limit);
    // Splits path into its directory part and name (kMaxPath bytes each); a
    // path beginning with "Z:" that names a directory is all directory part.
    void SplitPath(const char* path, char* directory, char* name);
    // A lookup in the current directory: 1 found (with the entry's block and
    // slot recorded in it), 0 not found.
    int FindEntry(const char* name, std::uint8_t typeMask, pack::DirEntry& entry);
    // Creates every missing directory of path. 0 or -1; the current directory
    // is unchanged either way.
    int MakeDir(const char* path);

    // --- File handles ----------------------------------------------------
    // Access codes are those of _lopen (OF_READ, OF_WRITE); where is kInPack,
    // kOnDisk or both; seek origins are FILE_BEGIN, FILE_CURRENT, FILE_END.
    // Handles are numbered 1 to 1499.

    // A handle, or -1: no such file (or a directory), a full handle table,
    // writing in a read-only pack, OF_READWRITE in a pack, a failed disk
    // open. A file open for writing cannot be opened again until it is
    // closed, and a file open at all cannot be opened for writing or
    // removed: -1. Opening an existing file for writing replaces it when the
    // handle is closed; until then the pack holds the old file.
    int OpenFile(const char* path, int access, int where);
    // Whole items read or written; 0 for an invalid handle or one without
    // that access. An item is never cut short at the end of a file.
    std::size_t Read(void* buffer, std::size_t itemSize, std::size_t itemCount, int handle);
    std::size_t Write(const void* buffer, std::size_t itemSize, std::size_t itemCount, int handle);
    // byteCount when all were read, else 0; -1 for an invalid handle; a disk
    // file gives _lread's result.
    int ReadBytes(int handle, void* buffer, int byteCount);
    // 0, or -1 (an invalid handle, an origin other than the three, a position
    // past the chain of a file that is not contiguous); the position is
    // clamped to the file. A disk file gives _llseek's result.
    int Seek(int handle, std::int32_t offset, int origin);
    // The position; -1 for a disk file; 0 for an invalid handle.
    std::int32_t Tell(int handle);
    // The file's length; 0 for an invalid handle.
    std::int32_t GetLength(int handle);
    // 0, or -1: an invalid handle, or a written file that was not stored (its
    // writing stopped short: a replaced file stays as it was, a new one is
    // not made). A disk file gives _lclose's result.
    int CloseFile(int handle);
    // Makes the handle's entry be written again at its close (the creation
    // time kept, the contiguous byte recomputed).
    void MarkForRewrite(int handle);
    // Closes a handle and drops what it wrote: a replaced file stays as it
    // was, a new one is not made. For a writer whose source failed. 0, or -1
    // for an invalid handle.
    int DiscardFile(int handle);
    // Removes a file of the current directory. 0, or -1 (none, a directory,
    // open, or the entry cannot be written).
    int RemoveFile(const char* name);

    // --- Reading the stored tree ----------------------------------------
    // Reads count entries of block from slot on in one host read, each name
    // made terminated. False when the block is outside the data area or the
    // read fails. This is the one place directory entries are read.
    bool ReadEntries(std::int32_t block, int slot, int count, pack::DirEntry* entries);
    // The block after block in its chain: 0 at the end of the chain, -1 when
    // the link is broken (outside the data area, or onto a free block).
    std::int32_t NextBlock(std::int32_t block) const;

    // Whether the directory whose chain starts at first was found damaged
    // when the pack was opened: it is read, but nothing is written into it.
    bool IsDamagedDirectory(std::int32_t first) const { return TestBit(damagedDirectories, first); }
    // Whether more than one chain holds block.
    bool IsSharedBlock(std::int32_t block) const { return TestBit(sharedBlocks, block); }
    // Blocks that a writer can have: free table entries of the data area
    // that no chain names and that were free when the pack was opened, and
    // the blocks the data area may still grow by.
    std::int32_t FreeBlocks() const;

    // What the tools look at.
    std::int32_t BlockCount() const { return blockCount; }
    std::int32_t TableEntry(std::int32_t block) const { return table[block]; }
    const std::uint8_t* HeaderImage() const { return headerImage; }

private:
    // Tests pin the inner steps below one by one through PackEngineProbe
    // (tests/support/PackProbe.h); nothing else reaches them.
    friend class PackEngineProbe;

    // The host file layer: every byte of the host file passes through here.
    // Whole items transferred; HostSeek 0 or non-zero, -1 for another origin.
    std::size_t HostRead(void* buffer, std::size_t itemSize, std::size_t itemCount);
    std::size_t HostWrite(const void* buffer, std::size_t itemSize, std::size_t itemCount);
    int HostSeek(std::int32_t offset, int origin);
    // Whether a host transfer may be made now: not after a failure.
    bool HostWritable() const { return hostFile && !hostFailed; }
    // Notes a failed host transfer.
    void HostFailure();
    // The host stream's last transfer.
    enum class Transfer : std::uint8_t {
        None,
        Read,
        Write
    };
    // Readies the stream for a transfer of the kind next (a seek between a
    // read and a write); false after a failure.
    bool TurnStream(Transfer next);
    // Follows the stream's position after a transfer of done of itemCount
    // items; one that came up short has failed.
    void Transferred(std::size_t done, std::size_t itemSize, std::size_t itemCount);
    // The stream's write under HostWrite and the run: the position follows,
    // a failure is noted.
    std::size_t StreamWrite(const void* buffer, std::size_t itemSize, std::size_t itemCount);

    // The run: data of files being written (CreateNewFile's chains, which
    // nothing names until their close), gathered while each piece continues
    // the one before, and written to the host with one write before any
    // other host operation, in the order the pieces would have gone. While
    // it holds bytes the stream stands at runStart and hostPosition where the
    // data ends. A block from hostBlocks on is not in the host file yet: the
    // run writes it whole, zeros after its data, as appending one writes it.
    // With runs off (a test's comparison), data goes a block at a time.
    bool Gathering() const { return runsEnabled && runBuffer != nullptr; }
    // Takes size bytes of data at hostPosition into the run, writing it out
    // first when they do not fit. False when they cannot reach the host.
    bool GatherData(const void* data, std::size_t size);
    // Writes what the run holds with one host write. False on failure.
    bool WriteOutRun();
    // Writes the run out and puts the stream where the engine stands again
    // (the zeros after a run's data leave it further on).
    bool SettleRun();
    // Forgets the run after a failure, and the blocks the host file never
    // received with it.
    void DropRun();
    // Learns from the checker what the stored tree holds (Open).
    void LearnTree();
    // The lowest free block other than block 0, the root's, whatever the
    // table says of it (kBlockForDirectory: zero-filled; kBlockForData: old
    // bytes may stay), appending one when none is free; 0 when the block
    // could not be written. The caller marks the block used at once. When
    // the data area holds the most blocks a table can describe, unfinished
    // writes are dropped, the instance is closed and packFullStop ends the
    // process: this never returns then.
    std::int32_t AllocateBlock(int mode);
    // 0 for an empty path, 1 for one component, 2 when a rest follows. first
    // and rest hold kMaxPath bytes.
    static int SplitFirst(const char* path, char* first, char* rest);
    // 1 found (an entry whose first block is block), 0 not found.
    int FindEntryByBlock(std::int32_t block, std::uint8_t typeMask, pack::DirEntry& entry);
    // 1 with a zeroed entry for the first free slot of the current directory
    // (extending it by a block when it is full), 0 on failure.
    int FindFreeSlot(pack::DirEntry& entry);
    // Creates one directory in the current directory. 0 or -1.
    int MakeOneDir(const char* name);
    // The lowest free handle number, or 0 when all 1499 are in use.
    int FindFreeHandle() const;
    int OpenMode() const { return openMode; }
    const char* HostPath() const { return hostPath; }

    // The directory cache when it is in use, else null.
    pack::DirectoryCache* Cache() const { return cacheEnabled && cache && cache->Usable() ? cache : nullptr; }
    // Forgets what the cache holds: the host file may not hold what was
    // written (a write or a flush failed).
    void ForgetCache();
    // The cache's index of the directory whose chain starts at first,
    // indexing it first when it can; -1 when the cache cannot vouch for it
    // (the scans then read as without a cache).
    std::int32_t IndexedDirectory(std::int32_t first);
    // Extends the directory whose last block is last by a zeroed block and
    // gives its slot 0; 1, or 0 on failure.
    int ExtendDirectory(std::int32_t last, pack::DirEntry& entry);
    // Whether the table entry of block may differ from the stored one.
    bool TableDirty(std::int32_t block) const { return TestBit(tableDirty, block); }
    // Whether a chain held block (or the table called it in use) when the
    // pack was opened or last released: its bytes and entry change only at
    // a switch, and it is never handed out before the next open.
    bool IsHeld(std::int32_t block) const { return TestBit(heldBlocks, block); }
    // Writes size bytes at offset of the directory block block: into the
    // waiting copy when the block is held (a writer's), else to the host
    // file. 0 or -1.
    int WriteDirectory(std::int32_t block, int offset, const void* data, std::size_t size);
    // The stream's bytes reach the disk (the run first). 0, or -1 after
    // noting the failure.
    int SyncHost();
    // Writes the table entries of the blocks that pick says, as runs of
    // neighbouring entries: value(block) for each. False when one failed.
    template <class Pick, class Value> bool WriteTableEntries(Pick pick, Value value);
    // After a failure, lets the engine write again to put back what it
    // wrote; false when the host file is closed.
    bool ResumeAfterFailure();
    // Takes what the host file and the table now hold as the new start: the
    // blocks in use are held, the stored table is the table.
    void TakeAsStored();
    using BlockBits = std::uint8_t[pack::kMaxBlocks / 8];
    static bool TestBit(const BlockBits& bits, std::int32_t block)
    {
        return block >= 0 && block < pack::kMaxBlocks && ((bits[block >> 3] >> (block & 7)) & 1);
    }
    static void SetBit(BlockBits& bits, std::int32_t block)
    {
        // A damaged entry may name any number: no block past the table is
        // ever written.
        if (block < 0 || block >= pack::kMaxBlocks) return;
        bits[block >> 3] = static_cast<std::uint8_t>(bits[block >> 3] | (1u << (block & 7)));
    }
    // Whether an entry may be written into the directory whose chain starts
    // at first.
    bool MayWriteEntries(std::int32_t first) const { return HostWritable() && !IsDamagedDirectory(first); }
    // Writes the in-use byte of the entry at (block, slot) as 0 and makes it
    // reach the host file. 0 or -1.
    int ClearEntry(std::int32_t block, int slot);

    void ResetState();
    // Marks what the table holds at open as held and stored (a writer).
    void KnowStoredTable();
    int LoadArchive();
    int FormatArchive();
    int WriteZeroBlock(std::int32_t block);
    int WriteEntry(std::int32_t block, int slot, const pack::DirEntry& entry);
    // Whether a handle has the entry at (block, slot) open; with
    // writersOnly, only handles that may write count.
    bool IsEntryOpen(std::int32_t block, std::int32_t slot, bool writersOnly) const;
    // Drops what a failed writer of a new chain put in the table and, for a
    // file that did not exist before, its entry.
    void DropFailedWrite(PackHandle& h);
    [[noreturn]] void StopWhenFull();
    int WalkTo(const char* path);
    int MakeDirWalk(const char* path);
    template <class Match> int ScanCurrentDir(Match match, pack::DirEntry& entry);
    int OpenForRead(const char* name);
    int CreateNewFile(const char* name);
    // Stores a written file's chain and entry; false when the entry could
    // not be stored.
    bool StoreEntry(int handle);
    // Frees the chain from first in the table, entry by entry, stopping at a
    // free block or a broken link.
    void FreeChain(std::int32_t first);
    PackHandle* ValidHandle(int handle);
    // The bytes of a chained file's read (at most left) that one host read
    // can take from the position: the rest of its block, and with runs each
    // block after it that the chain follows with the next one along.
    std::size_t ConsecutivePiece(const PackHandle& h, std::size_t left) const;
    std::int32_t BlockHolding(std::int32_t first, std::int32_t index) const;

    std::FILE* hostFile;
    std::int32_t table[pack::kMaxBlocks];
    char currentPath[kMaxPath];
    char hostPath[kMaxPath];
    std::int32_t currentDir;
    std::int32_t dataStart;
    std::int32_t blockCount;
    PackHandle handles[kHandleSlots];
    std::uint8_t openMode;  // 0 = closed, 1 = read-only, 2 = read-write
    std::int32_t hostPosition;
    std::uint8_t headerImage[pack::kHeaderImageSize];

    // Every block below this one is in use, so the search for the lowest free
    // block starts here.
    std::int32_t lowestFreeHint;
    // The direction of the last transfer on the host stream: a stream opened
    // for update must be repositioned between a write and a read.
    Transfer lastTransfer;

    // Directory blocks and their indexes (made when a pack first opens), and
    // whether they are used (tests compare the engine with and without).
    pack::DirectoryCache* cache;
    bool cacheEnabled;
    // Per block: set when its table entry changed in memory and has not been
    // stored since.
    BlockBits tableDirty;

    // The run (see Gathering): kRunBytes taken when a writer first opens,
    // the bytes to write (data, then the zeros of a block it entered), and
    // the data area's blocks that the host file holds whole.
    std::uint8_t* runBuffer;
    bool runsEnabled;
    std::int32_t runCapacity;  // kRunBytes; a test may make it smaller
    std::int32_t runStart;
    std::int32_t runLength;
    std::int32_t runFilled;
    std::int32_t hostBlocks;

    // What the check at Open found (see IsDamagedDirectory, IsSharedBlock),
    // and the free blocks that a chain names, which are never handed out.
    BlockBits damagedDirectories;
    BlockBits sharedBlocks;
    BlockBits namedFreeBlocks;
    bool sound;
    bool inUse;
    bool hostFailed;

    // The writer's change (see Stage). heldBlocks: see IsHeld. The stored
    // table: what the host file's table holds (a writer's, taken when it
    // opens). tableWritten: entries written since the last release, which a
    // Discard puts back. committedLength: the host file's length then.
    BlockBits heldBlocks;
    std::int32_t* storedTable;
    BlockBits tableWritten;
    pack::PendingBlocks pending;
    bool staged;                  // Stage ran since the last release
    bool switched;                // Switch wrote the waiting blocks
    bool undone;                  // a switch was put back: nothing more is committed
    std::int32_t tableTailInUse;  // in-use entries past the data area
    long committedLength;
    std::int32_t committedBlocks;
    std::vector<std::int32_t> lostBlocks;
};
