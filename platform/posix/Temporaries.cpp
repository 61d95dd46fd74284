// Temporary files on Linux: swept up, and removed on a stop (Temporaries.h).
#include "platform/posix/Temporaries.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/TemporaryName.h"

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
    static char swept[PATH_MAX + 16];
    char key[PATH_MAX + 16];
    std::snprintf(key, sizeof key, "%s\n%s", prefix, directory);
    if (std::strcmp(key, swept) == 0) return;
    std::strcpy(swept, key);
    DIR* d = opendir(directory[0] ? directory : ".");
    if (!d) return;
    while (const dirent* e = readdir(d))
        if (IsStale(e->d_name, prefix)) unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
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
