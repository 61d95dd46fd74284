// The few console facts pak needs that differ between systems.
#pragma once

// Whether standard error is a terminal (a progress line is shown only then).
bool StderrIsTerminal();

// Makes standard output carry bytes unchanged (no line-end translation).
void SetStdoutBinary();
