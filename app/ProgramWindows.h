// The windows of the two other programs the patcher closes: the game and its
// launcher, with the program each window belongs to (on Linux the window
// stands for a running process of that program).
#pragma once

#include "platform/ProgramWindows.h"

inline constexpr ProgramWindow kGameWindow = {"KIVRA (Quantrel)", "KIVRA", "Kivra.exe"};
inline constexpr ProgramWindow kLauncherWindow = {"TBattle", "KivraBattle", "KNet.exe"};
inline constexpr ProgramWindow kProgramWindows[] = {kGameWindow, kLauncherWindow};
