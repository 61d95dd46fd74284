// The members named on the command line, and which of them the archive held (Selection.h).
#include "tools/lzh/Selection.h"

#include "lzh/LzhArchive.h"
#include "platform/CodePage.h"
#include "tools/lzh/LzhTool.h"
#include "tools/lzh/NewMembers.h"

namespace lzhtool {

Selection::Selection(const std::vector<std::string>& names) : names_(names), found_(names.size(), false)
{
    for (const std::string& name : names) keys_.push_back(MemberKey(name));
}

bool Selection::Takes()
{
    if (names_.empty()) return true;
    std::string shown;
    SystemToHostText(LzhMemberPath(), shown);
    const std::string key = MemberKey(shown);
    bool taken = false;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const std::string& named = keys_[i];
        const bool below =
            key.size() > named.size() && key.compare(0, named.size(), named) == 0 && key[named.size()] == '\\';
        if (!named.empty() && (key == named || below)) {
            found_[i] = true;
            taken = true;
        }
    }
    return taken;
}

bool Selection::AllFound() const
{
    bool all = true;
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (!found_[i]) all = Refuse(names_[i], "no such member");
    return all;
}

}  // namespace lzhtool
