// The pack a run of pak works on (Engine.h).
#include "tools/pak/Engine.h"

namespace paktool {

CPackFileManager engine;
std::string packName;
std::string packSystemName;
bool packWritable = false;

}  // namespace paktool
