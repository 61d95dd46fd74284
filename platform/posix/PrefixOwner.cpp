// Root becomes the Wine prefix's owner (PrefixOwner.h).
#include "platform/posix/PrefixOwner.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/WinePrefix.h"

namespace {

std::string become;

}  // namespace

bool RunAsPrefixOwner(std::string& problem)
{
    const std::string prefix = WinePrefix();
    struct stat st {};
    // A prefix that is missing holds nothing to write into.
    if (geteuid() != 0 || prefix.empty() || stat(prefix.c_str(), &st) != 0 || st.st_uid == 0) return true;
    const passwd* user = getpwuid(st.st_uid);
    const std::string name = user ? std::string(user->pw_name) : "user " + std::to_string(st.st_uid);
    const gid_t group = user ? user->pw_gid : st.st_gid;
    const bool groups = user ? initgroups(user->pw_name, group) == 0 : setgroups(0, nullptr) == 0;
    // The group first: once the user is set, root's rights to change it are
    // gone.
    if (!groups || setgid(group) != 0 || setuid(st.st_uid) != 0) {
        problem = "the Wine prefix " + prefix + " belongs to " + name + ", and root cannot run as " + name + " (" +
                  std::strerror(errno) + "): run the patch as " + name;
        return false;
    }
    become = name;
    return true;
}

const std::string& PrefixOwnerRunAs() { return become; }
