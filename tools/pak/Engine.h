// The pack a run of pak works on, which every part of the tool shares: the
// engine that holds it, its two names, and whether the verb opened it to
// change it. OpenPack (ThePack.h) and create set them.
#pragma once

#include <string>

#include "pack/PackFileManager.h"

namespace paktool {

extern CPackFileManager engine;
// The pack as the user named it, for messages and the disk; and in the
// system code page, for the engine and the platform.
extern std::string packName;
extern std::string packSystemName;
// The verb opened the pack to change it (or made it).
extern bool packWritable;

}  // namespace paktool
