// Whether two disk paths name one file (SameDiskFile of platform/Disk.h).
#include "platform/AsciiCase.h"
#include "platform/Disk.h"

bool SameDiskFile(const char* a, const char* b)
{
    DiskPathInfo first{};
    DiskPathInfo second{};
    if (StatDiskPath(a, &first) != 0 || StatDiskPath(b, &second) != 0) return false;
    if (first.inode != 0 || second.inode != 0) return first.device == second.device && first.inode == second.inode;
    static char hostA[kHostPathMax];
    static char hostB[kHostPathMax];
    return ResolveDiskPath(a, hostA, sizeof hostA) && ResolveDiskPath(b, hostB, sizeof hostB) &&
           ascii::EqualIgnoringCase(hostA, hostB);
}
