// Wine's registry text, read without trusting it (RegistryFile.h).
#include "platform/posix/RegistryFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

#include "platform/AsciiCase.h"

namespace registry {
namespace {

// name lies below path: path, a backslash, more.
bool IsBelow(std::string_view name, std::string_view path)
{
    if (path.empty()) return true;
    return name.size() > path.size() && name[path.size()] == '\\' &&
           ascii::EqualIgnoringCase(name.substr(0, path.size()), path);
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned HexValue(char c)
{
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>(ascii::Fold(c) - 'a' + 10);
}

bool StartsWith(std::string_view text, std::size_t pos, std::string_view start)
{
    return pos <= text.size() && text.substr(pos, start.size()) == start;
}

std::size_t LineEnd(std::string_view text, std::size_t pos)
{
    const std::size_t end = text.find('\n', pos);
    return end == std::string_view::npos ? text.size() : end;
}

// UTF-8 from UTF-16 code units; a surrogate without its partner becomes
// U+FFFD. Bytes of the file that are not ASCII pass as they are.
class Utf8Builder {
public:
    void Unit(unsigned unit)
    {
        if (unit >= 0xD800 && unit < 0xDC00) {
            FlushHigh();
            high_ = unit;
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            if (high_) {
                CodePoint(0x10000 + ((high_ - 0xD800) << 10) + (unit - 0xDC00));
                high_ = 0;
            } else {
                CodePoint(0xFFFD);
            }
        } else {
            FlushHigh();
            CodePoint(unit);
        }
    }
    void Byte(char c)
    {
        FlushHigh();
        out_.push_back(c);
    }
    std::string Take()
    {
        FlushHigh();
        return std::move(out_);
    }

private:
    void FlushHigh()
    {
        if (high_) CodePoint(0xFFFD);
        high_ = 0;
    }
    void CodePoint(std::uint32_t c)
    {
        if (c < 0x80) {
            out_.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out_.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out_.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out_.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out_.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    std::string out_;
    unsigned high_ = 0;
};

void Character(Utf8Builder& out, char c)
{
    if (static_cast<unsigned char>(c) < 0x80)
        out.Unit(static_cast<unsigned char>(c));
    else
        out.Byte(c);
}

// Reads escaped text from pos up to an unescaped close, within the line.
// On success pos is just past close.
bool ReadEscaped(std::string_view text, std::size_t& pos, char close, std::string& result)
{
    Utf8Builder out;
    while (pos < text.size() && text[pos] != '\n') {
        char c = text[pos++];
        if (c == close) {
            result = out.Take();
            return true;
        }
        if (c != '\\') {
            Character(out, c);
            continue;
        }
        if (pos >= text.size() || text[pos] == '\n') return false;
        c = text[pos++];
        switch (c) {
        case 'a': out.Unit(7); break;
        case 'b': out.Unit(8); break;
        case 'e': out.Unit(27); break;
        case 'f': out.Unit(12); break;
        case 'n': out.Unit(10); break;
        case 'r': out.Unit(13); break;
        case 't': out.Unit(9); break;
        case 'v': out.Unit(11); break;
        case 'x': {
            unsigned unit = 0;
            int digits = 0;
            for (; digits < 4 && pos < text.size() && IsHex(text[pos]); ++digits)
                unit = unit * 16 + HexValue(text[pos++]);
            out.Unit(digits ? unit : 'x');
            break;
        }
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7': {
            unsigned unit = static_cast<unsigned>(c - '0');
            for (int digits = 1; digits < 3 && pos < text.size() && text[pos] >= '0' && text[pos] <= '7'; ++digits)
                unit = unit * 8 + static_cast<unsigned>(text[pos++] - '0');
            out.Unit(unit);
            break;
        }
        default: Character(out, c); break;
        }
    }
    return false;
}

void SkipBlanks(std::string_view text, std::size_t& pos)
{
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
}

// Comma-separated hex bytes up to the end of the line; a backslash at the end
// of a line carries them on to the next. pos ends at the last line's end.
bool ReadHexBytes(std::string_view text, std::size_t& pos, std::vector<BYTE>& bytes)
{
    for (;;) {
        SkipBlanks(text, pos);
        if (pos >= text.size() || text[pos] == '\n' || text[pos] == '\r') return true;
        if (text[pos] == '\\') {
            ++pos;
            while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r')) ++pos;
            if (pos >= text.size()) return true;
            if (text[pos] != '\n') return false;
            ++pos;
            continue;
        }
        if (!IsHex(text[pos])) return false;
        unsigned byte = HexValue(text[pos++]);
        if (pos < text.size() && IsHex(text[pos])) byte = byte * 16 + HexValue(text[pos++]);
        bytes.push_back(static_cast<BYTE>(byte));
        SkipBlanks(text, pos);
        if (pos < text.size() && text[pos] == ',') ++pos;
    }
}

// A type number in hex, up to ')'.
bool ReadType(std::string_view text, std::size_t& pos, DWORD& type)
{
    type = 0;
    int digits = 0;
    for (; pos < text.size() && IsHex(text[pos]); ++digits) {
        if (digits == 8) return false;
        type = type * 16 + HexValue(text[pos++]);
    }
    if (digits == 0 || pos >= text.size() || text[pos] != ')') return false;
    ++pos;
    return true;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> Terminated(const std::string& text)
{
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

// UTF-16LE as Wine stores string types written in hex, as UTF-8.
std::vector<BYTE> FromUtf16(const std::vector<BYTE>& bytes)
{
    Utf8Builder out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.Unit(bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << 8));
    const std::string text = out.Take();
    return std::vector<BYTE>(text.begin(), text.end());
}

// One value line (and its continuations) from pos, which ends within the
// last line read.
bool ReadValue(std::string_view text, std::size_t& pos, Value& value)
{
    if (text[pos] == '@') {
        ++pos;
    } else {
        ++pos;
        if (!ReadEscaped(text, pos, '"', value.name)) return false;
    }
    if (pos >= text.size() || text[pos] != '=') return false;
    ++pos;
    std::string string;
    if (StartsWith(text, pos, "\"")) {
        ++pos;
        if (!ReadEscaped(text, pos, '"', string)) return false;
        value.type = REG_SZ;
        value.data = Terminated(string);
        return true;
    }
    if (StartsWith(text, pos, "str(")) {
        pos += 4;
        if (!ReadType(text, pos, value.type) || !StartsWith(text, pos, ":\"")) return false;
        pos += 2;
        if (!ReadEscaped(text, pos, '"', string)) return false;
        value.data = Terminated(string);
        return true;
    }
    if (StartsWith(text, pos, "dword:")) {
        pos += 6;
        std::uint32_t number = 0;
        int digits = 0;
        for (; digits < 8 && pos < text.size() && IsHex(text[pos]); ++digits)
            number = number * 16 + HexValue(text[pos++]);
        if (digits == 0) return false;
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                      static_cast<BYTE>(number >> 24)};
        return true;
    }
    if (StartsWith(text, pos, "hex:")) {
        pos += 4;
        value.type = REG_BINARY;
        return ReadHexBytes(text, pos, value.data);
    }
    if (StartsWith(text, pos, "hex(")) {
        pos += 4;
        if (!ReadType(text, pos, value.type) || !StartsWith(text, pos, ":")) return false;
        ++pos;
        if (!ReadHexBytes(text, pos, value.data)) return false;
        if (IsStringType(value.type)) value.data = FromUtf16(value.data);
        return true;
    }
    return false;
}

}  // namespace

const Value* Key::Find(std::string_view name) const
{
    for (const Value& value : values)
        if (ascii::EqualIgnoringCase(value.name, name)) return &value;
    return nullptr;
}

Arch ReadArch(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = LineEnd(text, pos);
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (StartsWith(line, 0, "[")) break;
        if (line == "#arch=win64") return Arch::Win64;
        if (line == "#arch=win32") return Arch::Win32;
        pos = end + 1;
    }
    return Arch::Unknown;
}

std::optional<Key> ReadKey(std::string_view text, std::string_view path)
{
    std::optional<Key> key;
    std::set<std::string> names;  // of the values taken, folded
    bool inKey = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = LineEnd(text, pos);
        const char first = pos < end ? text[pos] : '\n';
        if (first == '[') {
            std::size_t at = pos + 1;
            std::string name;
            inKey = false;
            if (ReadEscaped(text, at, ']', name)) {
                if (ascii::EqualIgnoringCase(name, path)) {
                    inKey = true;
                    if (!key) key.emplace();
                } else if (!key && IsBelow(name, path)) {
                    key.emplace();
                }
            }
        } else if (inKey && (first == '"' || first == '@')) {
            std::size_t at = pos;
            Value value;
            if (ReadValue(text, at, value) && names.insert(ascii::Folded(value.name)).second)
                key->values.push_back(std::move(value));
            end = LineEnd(text, at);
        }
        pos = end + 1;
    }
    return key;
}

std::string ThirtyTwoBitView(const std::string& path)
{
    const std::size_t first = path.find('\\');
    const std::string top = path.substr(0, first);
    if (!ascii::EqualIgnoringCase(top, "Software")) return path;
    if (first == std::string::npos) return path + "\\Wow6432Node";
    const std::size_t second = path.find('\\', first + 1);
    const std::string next = path.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    if (ascii::EqualIgnoringCase(next, "Wow6432Node")) return path;
    return top + "\\Wow6432Node" + path.substr(first);
}

bool ReadPrefixRegistry(const std::string& prefix, std::string& text)
{
    // Larger than any registry Wine writes; a file beyond it is no registry.
    constexpr std::streamoff kMaxRegistryFile = 256 << 20;
    // A pipe in its place would keep the reader waiting for ever.
    std::error_code error;
    if (!std::filesystem::is_regular_file(prefix + "/system.reg", error)) return false;
    std::ifstream in(prefix + "/system.reg", std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxRegistryFile) return false;
    in.seekg(0);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace registry
