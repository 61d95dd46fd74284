// What the lzh tool's commands share: exit statuses, the archive they work
// on, and the lines that name what failed.
#pragma once

#include <string>
#include <vector>

namespace lzhtool {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

extern const char kUsage[];

// The archive as it was typed (for messages) and in the system code page
// (for the platform, which takes every path so).
struct Archive {
    std::string typed;
    std::string system;
};

// "lzh: SUBJECT: REASON" on stderr; Fail yields kExitFailure, Refuse false.
int Fail(const std::string& subject, const char* reason);
bool Refuse(const std::string& subject, const char* reason);

// "lzh: NAME: PROBLEM" for a member, its name (system code page) shown in the
// host's text, after any line of progress full stops. PutMemberLine writes
// the line alone, where the line before it is known to be ended.
void ReportMember(const char* name, const char* problem);
void PutMemberLine(const char* name, const char* problem);

int CannotOpen(const Archive& archive);

// "lzh: PROBLEM" and the pointer to --help on stderr; kExitUsage.
int Usage(const std::string& problem);

// What x, e, l, v, t and p are asked: the command word's letter and
// modifiers, the options after it, and the members named after the archive.
struct WalkOptions {
    char command = 'x';
    bool quiet = false;                // q: no full stops (x, e), no heading (l, v), no "ok" (t), no names (p)
    bool force = false;                // f, -f: files that are there are replaced unasked (x, e)
    std::string into;                  // w=DIR, as typed: where x and e write; empty: the current directory
    std::vector<std::string> members;  // as typed; none: every member
};

// x, and e, which leaves each member's folders out.
int ExtractArchive(const Archive& archive, const WalkOptions& options);
// l and v: the listing.
int ListArchive(const Archive& archive, const WalkOptions& options);
int TestArchive(const Archive& archive, const WalkOptions& options);
// p: the members' contents on standard output.
int PrintArchive(const Archive& archive, const WalkOptions& options);
// lzh a and lzh d, from their own arguments on (argv[0] is the command).
int AddToArchive(int argc, char** argv);
int DeleteFromArchive(int argc, char** argv);

}  // namespace lzhtool
