// What the lzh tool's commands share: exit statuses, the archive they work
// on, and the lines that name what failed.
#pragma once

#include <string>

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

int ExtractArchive(const Archive& archive);
int ListArchive(const Archive& archive);
int TestArchive(const Archive& archive);
// lzh a and lzh d, from their own arguments on (argv[0] is the command).
int AddToArchive(int argc, char** argv);
int DeleteFromArchive(int argc, char** argv);

}  // namespace lzhtool
