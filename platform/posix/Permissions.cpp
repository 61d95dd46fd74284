// Permission bits kept by a replacement (host::CopyPermissions, platform/DiskHost.h):
// a file written to take another's place allows what the other allowed.
#include <sys/stat.h>

#include "platform/Disk.h"
#include "platform/DiskHost.h"

namespace host {

int CopyPermissions(const char* from, const char* to)
{
    char source[kHostPathMax];
    char target[kHostPathMax];
    struct stat st {};
    if (!ResolveDiskPath(from, source, sizeof source) || !ResolveDiskPath(to, target, sizeof target) ||
        stat(source, &st) != 0)
        return -1;
    return chmod(target, st.st_mode & 07777) == 0 ? 0 : -1;
}

}  // namespace host
