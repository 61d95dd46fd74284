// The members named on the command line after the archive, which x, e, l,
// v, t and p take in place of all.
#pragma once

#include <string>
#include <vector>

namespace lzhtool {

class Selection {
public:
    // names as typed: each takes its member, and a folder's everything below
    // it, in any letter case, '/' or '\' between folders. None takes every
    // member.
    explicit Selection(const std::vector<std::string>& names);

    // Whether the member whose header was just read is taken.
    bool Takes();

    // "lzh: NAME: no such member" for each name that took nothing; false
    // when there was one.
    bool AllFound() const;

private:
    std::vector<std::string> names_;
    std::vector<std::string> keys_;
    std::vector<bool> found_;
};

}  // namespace lzhtool
