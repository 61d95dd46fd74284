// The staged set of replacements on Linux (StagedFiles.h, and the staged set's
// entries of platform/DiskHost.h).
//
// Each staged file is a temporary beside its target. The switch exchanges
// the two names (renameat2 with RENAME_EXCHANGE), so that the target is at
// every moment the old file or the new one, and the old one stays under the
// temporary's name until the set is dropped: a switch can be undone by
// exchanging again. Where the file system cannot exchange, the temporary is
// renamed over the target, and that one file cannot be put back.
//
// The set is kept so that a signal handler can read it: entries are filled
// before they are counted, in blocks that never move, and a stop removes
// every temporary the set holds.
#include "platform/posix/StagedFiles.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/DiskHost.h"
#include "platform/posix/FolderListings.h"
#include "platform/posix/Temporaries.h"

namespace {

struct Staged {
    char* temporary;
    char* target;
    dev_t device;    // the volume of the temporary's folder
    bool switched;   // the temporary has taken the target's place
    bool exchanged;  // ... and holds the old file
    bool overwrote;  // ... renamed over the old file, which is gone
};

constexpr int kPerBlock = 1024;
constexpr int kBlocks = 1024;
Staged* blocks[kBlocks] = {};
volatile std::sig_atomic_t staged = 0;

Staged& At(int i) { return blocks[i / kPerBlock][i % kPerBlock]; }

// On a stop: what the set's temporaries hold goes, whether the new files
// (not switched) or the old ones (switched).
void RemoveOnStop()
{
    const int count = staged;
    for (int i = 0; i < count; ++i) unlink(At(i).temporary);
}

char* Copy(const char* text)
{
    const std::size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(length));
    if (copy) std::memcpy(copy, text, length);
    return copy;
}

// The folder part of a host path, in out (PATH_MAX bytes at least).
void FolderOf(const char* path, char* out, std::size_t size)
{
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        std::snprintf(out, size, ".");
        return;
    }
    const int length = slash == path ? 1 : static_cast<int>(slash - path);
    std::snprintf(out, size, "%.*s", length, path);
}

int Exchange(const char* a, const char* b) { return renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE); }

// The names in the folder of a staged file changed: its listing is read
// again when next needed.
void Changed(const Staged& e)
{
    const char* slash = std::strrchr(e.target, '/');
    if (slash) ForgetHostFolder(e.target, static_cast<std::size_t>(slash - e.target));
}

// Puts a switched file back; false when it cannot be (it stays new).
bool PutBack(Staged& e)
{
    if (!e.switched) return true;
    if (e.overwrote) return false;
    if (e.exchanged ? Exchange(e.temporary, e.target) != 0 : std::rename(e.target, e.temporary) != 0) return false;
    Changed(e);
    e.switched = false;
    e.exchanged = false;
    return true;
}

}  // namespace

bool StageHostReplacement(const char* temporary, const char* target, dev_t device)
{
    const int i = staged;
    if (i == kPerBlock * kBlocks) return false;
    if (!blocks[i / kPerBlock]) {
        blocks[i / kPerBlock] = static_cast<Staged*>(std::calloc(kPerBlock, sizeof(Staged)));
        if (!blocks[i / kPerBlock]) return false;
    }
    Staged& e = At(i);
    e.temporary = Copy(temporary);
    e.target = Copy(target);
    if (!e.temporary || !e.target) {
        std::free(e.temporary);
        std::free(e.target);
        e.temporary = e.target = nullptr;
        return false;
    }
    e.device = device;
    e.switched = false;
    e.exchanged = false;
    e.overwrote = false;
    AddStopHook(RemoveOnStop);
    staged = i + 1;
    return true;
}

namespace host {

int SyncStaged()
{
    // One sync for each volume: the devices met so far, each with a folder
    // on it to name it by.
    constexpr int kVolumes = 16;
    dev_t devices[kVolumes];
    int volumes = 0;
    bool ok = true;
    for (int i = 0; i < staged; ++i) {
        const Staged& e = At(i);
        bool known = false;
        for (int v = 0; v < volumes; ++v) known = known || devices[v] == e.device;
        if (known) continue;
        if (volumes == kVolumes) {
            // More volumes than are kept apart: everything is synced.
            sync();
            return 0;
        }
        devices[volumes++] = e.device;
        char folder[PATH_MAX];
        FolderOf(e.temporary, folder, sizeof folder);
        const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || syncfs(fd) != 0) ok = false;
        if (fd >= 0) close(fd);
    }
    return ok ? 0 : -1;
}

int SwitchStaged()
{
    for (int i = 0; i < staged; ++i) {
        Staged& e = At(i);
        if (e.switched) continue;
        struct stat st {};
        const bool present = lstat(e.target, &st) == 0;
        int result;
        if (present) {
            result = Exchange(e.temporary, e.target);
            // A file system that cannot exchange names takes the rename.
            if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
                result = std::rename(e.temporary, e.target);
                e.overwrote = result == 0;
            } else if (result == 0) {
                e.exchanged = true;
            }
        } else {
            result = std::rename(e.temporary, e.target);
        }
        if (result != 0) {
            const int error = errno;
            UndoStaged();
            errno = error;
            return -1;
        }
        Changed(e);
        e.switched = true;
    }
    return 0;
}

int UndoStaged()
{
    bool ok = true;
    for (int i = staged - 1; i >= 0; --i)
        if (!PutBack(At(i))) ok = false;
    return ok ? 0 : -1;
}

int DropStaged()
{
    bool ok = true;
    const int count = staged;
    for (int i = 0; i < count; ++i) {
        Staged& e = At(i);
        if (unlink(e.temporary) != 0 && errno != ENOENT) ok = false;
        Changed(e);
    }
    // Forgotten before they are freed: a stop meanwhile reads none.
    staged = 0;
    for (int i = 0; i < count; ++i) {
        Staged& e = At(i);
        std::free(e.temporary);
        std::free(e.target);
        e.temporary = e.target = nullptr;
    }
    return ok ? 0 : -1;
}

}  // namespace host
