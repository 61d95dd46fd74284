// Paths in the pack, typed and as the engine takes them (PackPaths.h).
#include "tools/pak/PackPaths.h"

#include "pack/PackFileManager.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "tools/pak/Faults.h"
#include "tools/pak/Printing.h"

using pack::NameFault;

namespace paktool {

bool ParsePackPath(const std::string& typed, PackPath& path)
{
    path.clear();
    std::string text;
    if (!HostToSystemText(typed, text)) return Refuse(typed, kNoCodePageForm);
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find_first_of("\\/", start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (!part.empty()) {
            if (const char* fault = NameFault(part)) return Refuse(typed, fault);
            path.push_back(part);
        }
        start = end + 1;
    }
    return PathFitsEngine(path);
}

std::string EnginePath(const PackPath& path, std::size_t count)
{
    std::string text = "Z:\\";
    for (std::size_t i = 0; i < path.size() && i < count; ++i) {
        if (i > 0) text += '\\';
        text += path[i];
    }
    return text;
}

bool PathFitsEngine(const PackPath& path)
{
    const std::string text = EnginePath(path);
    if (text.size() < static_cast<std::size_t>(kMaxPath)) return true;
    return Refuse(Shown(text), "path longer than " + std::to_string(kMaxPath - 1) + " bytes");
}

std::string EnginePathBelow(const PackPath& base, const std::string& relative)
{
    std::string text = EnginePath(base);
    if (!base.empty()) text += '\\';
    return text + relative;
}

bool EndsWithSeparator(const std::string& text) { return !text.empty() && (text.back() == '/' || text.back() == '\\'); }

}  // namespace paktool
