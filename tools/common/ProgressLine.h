// The line of progress that a tool keeps on stderr (lzh x's full stops, the
// counts of pak import and export, kivra-mkpatch's steps), and the one
// account of whether it is open: a line of text that follows it starts on a
// line of its own, or where the cleared line stood.
#pragma once

namespace progress {

// Writes text to stderr as the progress line or more of it; the line is open
// from then on, until EndLine.
void Show(const char* text);

// Ends an open progress line with a line feed; nothing when none is open.
// Called before any other line goes to stderr.
void EndLine();

// Clears an open progress line instead ("\r" and erased to its end, on a
// terminal), so that what follows is written where it stood; nothing when
// none is open.
void ClearLine();

}  // namespace progress
