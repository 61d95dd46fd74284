// The members lzh a makes of the paths it is given: files and folders, each
// named by its relative path, checked before anything is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tree {
class Walk;
}

namespace lzhtool {

struct NewMember {
    std::filesystem::path disk;
    std::string name;  // in the system code page, '/' between folders; a folder's ends with '/'
    std::string key;   // MemberKey of the name
    bool folder;
    std::uint64_t size;
    std::uint32_t dosTime;
    long long unixTime;  // -1 when unknown
};

// What tells members apart: the path in the host's text, ASCII letters
// folded (no byte of a multibyte UTF-8 character is a letter), '\' between
// folders, no separator at the end. hostPath may use '/' or '\'.
std::string MemberKey(const std::string& hostPath);

class NewMembers {
public:
    // archive: the archive being written (as typed), which is never one of
    // its own members. followLinks as -L asks.
    NewMembers(const std::filesystem::path& archive, bool followLinks);

    // Adds what typed names: a file, or a folder with everything below it.
    // False after saying why not.
    bool Add(const std::string& typed);

    const std::vector<NewMember>& Members() const { return members_; }

    // The index in Members() of the member of that key; -1 for none.
    long Find(const std::string& key) const
    {
        const auto found = byKey_.find(key);
        return found == byKey_.end() ? -1 : static_cast<long>(found->second);
    }

private:
    bool AddFile(const std::filesystem::path& disk, const std::filesystem::path& name);
    bool AddFolder(const tree::Walk& walk, const std::filesystem::path& disk, const std::filesystem::path& name,
                   std::vector<std::filesystem::path>& inside);
    bool AddMember(NewMember member, const std::string& hostName);
    bool SpelledAlike(const std::string& hostName, const std::filesystem::path& disk);
    bool IsTheArchive(const std::filesystem::path& disk) const;

    std::filesystem::path archive_;
    bool followLinks_;
    std::vector<NewMember> members_;
    std::map<std::string, std::size_t> byKey_;      // index in members_
    std::map<std::string, std::string> spellings_;  // folded folder or name, as first spelled
};

}  // namespace lzhtool
