// Temporary files on Linux: swept up, and removed on a stop (Temporaries.h).
#include "platform/posix/Temporaries.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/TemporaryName.h"
#include "platform/posix/FolderListings.h"

namespace {

// Whether name is "PREFIXpid-N.tmp" of a process that no longer runs.
bool IsStale(const char* name, const char* prefix)
{
    const unsigned long pid = TemporaryNameProcess(name, prefix);
    if (pid == 0 || pid == static_cast<unsigned long>(getpid())) return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The temporaries being written. A slot is taken only once its path is in
// place, so the handler reads no half-written path.
struct Watched {
    char path[PATH_MAX];
    volatile std::sig_atomic_t active;
};
Watched watched[16];
void (*volatile stopHooks[4])() = {};
bool handlersInstalled = false;
constexpr int kStops[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveWatchedAndStop(int signal)
{
    for (Watched& w : watched)
        if (w.active) unlink(w.path);
    for (void (*hook)() : stopHooks)
        if (hook) hook();
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void InstallHandlers()
{
    if (handlersInstalled) return;
    handlersInstalled = true;
    for (const int stop : kStops) {
        struct sigaction current {};
        if (sigaction(stop, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction handler {};
        handler.sa_handler = RemoveWatchedAndStop;
        sigemptyset(&handler.sa_mask);
        sigaction(stop, &handler, nullptr);
    }
}

}  // namespace

void SweepHostTemporaries(const char* directory, const char* prefix)
{
    // The folders swept, by prefix and path, in order; a run that sweeps
    // very many folders may sweep some twice.
    static std::vector<std::string> swept;
    std::size_t length = std::strlen(directory);
    while (length > 1 && directory[length - 1] == '/') --length;
    std::string key = prefix;
    key.push_back('\n');
    key.append(directory, length);
    const auto at = std::lower_bound(swept.begin(), swept.end(), key);
    if (at != swept.end() && *at == key) return;
    if (swept.size() >= 4096) {
        swept.clear();
        swept.push_back(std::move(key));
    } else {
        swept.insert(at, std::move(key));
    }
    DIR* d = opendir(directory[0] ? directory : ".");
    if (!d) return;
    bool removed = false;
    while (const dirent* e = readdir(d))
        if (IsStale(e->d_name, prefix) && unlinkat(dirfd(d), e->d_name, 0) == 0) removed = true;
    closedir(d);
    if (removed) ForgetHostFolder(directory, length);
}

void WatchHostTemporary(const char* path)
{
    InstallHandlers();
    for (Watched& w : watched) {
        if (w.active) continue;
        std::snprintf(w.path, sizeof w.path, "%s", path);
        w.active = 1;
        return;
    }
}

void AddStopHook(void (*hook)())
{
    InstallHandlers();
    for (auto& slot : stopHooks) {
        if (slot == hook) return;
        if (!slot) {
            slot = hook;
            return;
        }
    }
}

namespace {

char watchedFolder[PATH_MAX];
volatile std::sig_atomic_t folderWatched = 0;

// On a stop: the files of the watched folder, then the folder, with calls
// a signal handler may make.
void RemoveWatchedFolder()
{
    if (!folderWatched) return;
    const int fd = open(watchedFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char entries[4096];
        for (long got; (got = syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0;) {
            for (long at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                const char* name = entry->d_name;
                if (!(name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))) unlinkat(fd, name, 0);
                at += entry->d_reclen;
            }
        }
        close(fd);
    }
    rmdir(watchedFolder);
}

}  // namespace

void WatchHostFolder(const char* path)
{
    folderWatched = 0;
    if (!path) return;
    std::snprintf(watchedFolder, sizeof watchedFolder, "%s", path);
    AddStopHook(RemoveWatchedFolder);
    folderWatched = 1;
}

void ForgetHostTemporary(const char* path)
{
    for (Watched& w : watched)
        if (w.active && std::strcmp(w.path, path) == 0) w.active = 0;
}
