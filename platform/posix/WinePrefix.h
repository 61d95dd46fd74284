// The Wine prefix the Linux build works in (WinePrefix.cpp).
//
// Its system.reg is the registry's HKEY_LOCAL_MACHINE and its dosdevices/
// links are the drives.
#pragma once

#include <string>

// $WINEPREFIX when set, else ~/.wine. Empty when neither can be had.
std::string WinePrefix();
