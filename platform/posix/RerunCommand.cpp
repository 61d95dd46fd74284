// The command that runs the program again in another prefix (RerunCommand.h).
#include "platform/posix/RerunCommand.h"

#include <cstring>

namespace {

std::string programTyped;
std::vector<std::string> optionsGiven;
std::string workFolder;

}  // namespace

void RememberCommandLine(const std::string& program, const std::vector<std::string>& options, const std::string& folder)
{
    programTyped = program;
    optionsGiven = options;
    workFolder = folder;
}

std::string ShellQuoted(const std::string& word)
{
    constexpr char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+.,/:@%";
    bool plain = !word.empty();
    for (const char c : word) plain = plain && (static_cast<unsigned char>(c) >= 0x80 || std::strchr(kPlain, c));
    if (plain) return word;
    std::string quoted(1, '\'');
    for (const char c : word) {
        if (c == '\'')
            quoted.append("'\\''");
        else
            quoted.push_back(c);
    }
    quoted.push_back('\'');
    return quoted;
}

std::string RerunCommand(const std::string& prefix)
{
    std::string line("WINEPREFIX=");
    line.append(ShellQuoted(prefix)).append(1, ' ').append(ShellQuoted(programTyped));
    for (const std::string& option : optionsGiven) line.append(1, ' ').append(ShellQuoted(option));
    if (!workFolder.empty()) line.append(1, ' ').append(ShellQuoted(workFolder));
    return line;
}
