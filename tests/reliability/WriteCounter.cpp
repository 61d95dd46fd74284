// A preloaded library (LD_PRELOAD) that counts a process's writes to regular
// files and can kill it at one of them: the interrupted-run tests stop
// kivra-update at chosen points with it, the same points on every run.
//
// Counted are the calls of fwrite and write on a regular file other than
// standard input, output and error. Environment:
//   KIVRA_WRITE_LOG=PATH  appends a line for each counted write:
//                         "N<TAB>OUTPUT<TAB>SIZE<TAB>FILE", where OUTPUT is
//                         how many bytes the process had written to standard
//                         output by then, SIZE the bytes of this write and
//                         FILE the written file's path
//   KIVRA_KILL_AT=N       before the Nth counted write, flushes every stream
//                         (so that the file holds exactly the writes before
//                         it) and ends the process with SIGKILL
//   KIVRA_KILL_SIGNAL=INT with KIVRA_KILL_AT, stops it with SIGINT instead,
//                         which the process may handle (as Ctrl-C would)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using FwriteFunction = std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*);
using WriteFunction = ssize_t (*)(int, const void*, std::size_t);

FwriteFunction realFwrite;
WriteFunction realWrite;
long counted;
long killAt;
int killSignal = SIGKILL;
int logFile = -1;

__attribute__((constructor)) void Start()
{
    realFwrite = reinterpret_cast<FwriteFunction>(dlsym(RTLD_NEXT, "fwrite"));
    realWrite = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    if (const char* at = std::getenv("KIVRA_KILL_AT")) killAt = std::atol(at);
    if (const char* signal = std::getenv("KIVRA_KILL_SIGNAL"); signal && std::strcmp(signal, "INT") == 0)
        killSignal = SIGINT;
    if (const char* path = std::getenv("KIVRA_WRITE_LOG"))
        logFile = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool IsCounted(int fd)
{
    struct stat st {};
    return fd > 2 && fd != logFile && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

void Counted(int fd, std::size_t size)
{
    ++counted;
    if (counted == killAt) {
        std::fflush(nullptr);
        kill(getpid(), killSignal);
    }
    if (logFile < 0) return;
    char link[64];
    char path[1024] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (readlink(link, path, sizeof path - 1) < 0) std::strcpy(path, "?");
    const off_t output = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    char line[1200];
    const int n =
        std::snprintf(line, sizeof line, "%ld\t%lld\t%zu\t%s\n", counted, static_cast<long long>(output), size, path);
    if (n > 0 && realWrite(logFile, line, static_cast<std::size_t>(n)) < 0) _exit(99);
}

}  // namespace

extern "C" std::size_t fwrite(const void* data, std::size_t size, std::size_t count, std::FILE* stream)
{
    if (IsCounted(fileno(stream))) Counted(fileno(stream), size * count);
    return realFwrite(data, size, count, stream);
}

extern "C" ssize_t write(int fd, const void* data, std::size_t size)
{
    if (IsCounted(fd)) Counted(fd, size);
    return realWrite(fd, data, size);
}
