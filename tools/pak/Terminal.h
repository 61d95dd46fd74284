// The few console facts pak needs that differ between systems.
#pragma once

namespace paktool {

// Whether standard error is a terminal (a progress line is shown only then).
bool StderrIsTerminal();

// Whether standard output is a terminal (names are then shown converted).
bool StdoutIsTerminal();

// Makes standard output carry bytes unchanged (no line-end translation).
void SetStdoutBinary();

}  // namespace paktool
