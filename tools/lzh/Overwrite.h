// What x and e do with a file that is there already where a member goes: it
// is kept unless the user says otherwise. -f replaces it; someone at a
// terminal is asked, as lhasa asks (yes, no, all, skip); otherwise it is
// kept and named. A read-only file is replaced with -f only.
#pragma once

namespace lzhtool {

// Why the last member not written for a file that is there was not.
enum class KeptFor {
    NotAsked,  // nobody at a terminal to ask: named, and the run fails
    ReadOnly,  // read-only, and no -f: named, and the run fails
    Answer,    // the user said to keep it: nothing more is said
};

// Has the walk keep or replace files that are there (lzhCheckTarget),
// replacing them all unasked with force.
void KeepOrReplace(bool force);

KeptFor LastKept();

}  // namespace lzhtool
