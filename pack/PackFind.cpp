// Wildcard patterns and the directory listing.
#include "pack/PackFind.h"

#include <cstring>

#include "pack/PackText.h"
#include "platform/AsciiCase.h"

using namespace pack;

void ParsePattern(const char* name, NamePattern& pattern)
{
    CopyText(pattern.full, name, kMaxPath);
    pattern.baseWildcard = 0;
    pattern.extensionWildcard = 0;

    // The extension is what follows a dot among the last four characters.
    const std::size_t length = std::strlen(pattern.full);
    std::size_t dot = length;
    for (std::size_t i = length; i > 0 && i + 4 > length; --i) {
        const char c = pattern.full[i - 1];
        if (c == '\\') break;
        if (c == '.') {
            dot = i - 1;
            break;
        }
    }
    if (dot < length) {
        CopyText(pattern.base, pattern.full, dot + 1);
        CopyText(pattern.extension, pattern.full + dot + 1, kMaxPath);
    } else {
        CopyText(pattern.base, pattern.full, kMaxPath);
        pattern.extension[0] = 0;
    }
    pattern.baseWildcard = std::strcmp(pattern.base, "*") == 0 && pattern.extension[0] != 0;
    pattern.extensionWildcard = std::strcmp(pattern.extension, "*") == 0 && pattern.base[0] != 0;
}

int MatchPattern(const NamePattern& a, const NamePattern& b)
{
    const bool bases = a.baseWildcard || b.baseWildcard || ascii::EqualIgnoringCase(a.base, b.base);
    const bool extensions =
        a.extensionWildcard || b.extensionWildcard || ascii::EqualIgnoringCase(a.extension, b.extension);
    if (bases && extensions) return 0;
    return ascii::EqualIgnoringCase(a.full, b.full) ? 0 : -1;
}

CPackFind::CPackFind()
    : engine(nullptr),
      directory(0),
      block(0),
      nextSlot(0),
      done(1),
      typeMask(0),
      pattern{},
      name{},
      type(0),
      size(0),
      timeHigh(0),
      timeLow(0),
      contiguous(0),
      blocksRead(0)
{}

CPackFind::~CPackFind() { done = 1; }

int CPackFind::FindFirst(CPackFileManager* listed, const char* text, std::uint8_t mask)
{
    engine = listed;
    typeMask = mask;
    nextSlot = 0;
    done = 0;
    blocksRead = 0;
    // A pattern the engine's buffers cannot hold whole matches nothing: cut
    // short, it would list another directory or other names.
    if (!PathFits(text, kMaxPath, kMaxNameLength)) {
        done = 1;
        return 1;
    }

    const std::int32_t remembered = engine->GetCurrentDir();
    char directoryPart[kMaxPath];
    char namePart[kMaxPath];
    engine->SplitPath(text, directoryPart, namePart);
    engine->ChangeDir(directoryPart);
    directory = engine->GetCurrentDir();
    block = directory;
    ParsePattern(namePart, pattern);
    engine->SetCurrentDir(remembered);
    return FindNext();
}

int CPackFind::FindNext()
{
    if (!engine || !engine->IsOpen() || done) return 1;

    DirEntry entries[kEntriesPerBlock];
    NamePattern candidate;
    for (;;) {
        if (nextSlot < kEntriesPerBlock) {
            const int count = kEntriesPerBlock - nextSlot;
            if (!engine->ReadEntries(block, nextSlot, count, entries)) {
                done = 1;
                return 1;
            }
            for (int i = 0; i < count; ++i) {
                const DirEntry& e = entries[i];
                if (e.InUse() != 1 || !(e.Type() & typeMask)) continue;
                ParsePattern(e.Name(), candidate);
                if (MatchPattern(candidate, pattern) != 0) continue;
                CopyText(name, e.Name(), kNameSize);
                size = static_cast<std::int32_t>(e.Size());
                timeHigh = e.TimeHigh();
                timeLow = e.TimeLow();
                type = e.Type();
                contiguous = e.Contiguous();
                nextSlot += i + 1;
                return 0;
            }
        }
        const std::int32_t next = engine->NextBlock(block);
        if (next <= 0 || ++blocksRead >= engine->BlockCount()) {
            done = 1;
            return 1;
        }
        block = next;
        nextSlot = 0;
    }
}
