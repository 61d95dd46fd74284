// How pak says that something failed (Faults.h).
#include "tools/pak/Faults.h"

#include <cstdio>
#include <cstdlib>

#include "tools/common/ProgressLine.h"
#include "tools/pak/Engine.h"
#include "tools/pak/VerbArgs.h"

namespace paktool {

int Fail(const std::string& subject, const std::string& reason)
{
    progress::EndLine();
    std::fprintf(stderr, "pak: %s: %s\n", subject.c_str(), reason.c_str());
    return kExitFailure;
}

bool Refuse(const std::string& subject, const std::string& reason)
{
    Fail(subject, reason);
    return false;
}

bool RefuseWrite(const std::string& subject, const std::string& reason)
{
    return engine.Failed() ? Refuse(packName, kNotWritten) : Refuse(subject, reason);
}

void StopWhenFull(const char*)
{
    Fail(packName, "pack is full");
    std::exit(kExitFailure);
}

}  // namespace paktool
