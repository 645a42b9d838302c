// The readable progress display (--progress, an extension): one line per
// image with its percentage, bytes, rate, elapsed time and time left, instead
// of the rows of glyphs; elapsed seconds while the phone erases and while the
// tool waits for ENQ. On a terminal the line is rewritten in place; otherwise
// a line is printed every 5 %. Without --progress nothing here prints.
#pragma once

#include <cstdint>

// Once per run: whether the display is wanted.
void progressEnable(bool on);
bool progressEnabled();

// A wait with a name ("waiting for ENQ", "erasing"): its elapsed seconds are
// shown while it lasts, and the line is cleared again when it ends.
void progressWaitBegin(const char* what);
void progressWaitEnd();

// Other text is about to be printed (a line from the phone): a line being
// rewritten in place is ended first, and drawn anew on the next line.
void progressBreakLine();

// One image's blocks: size in bytes, then the bytes done after each block.
void progressImageBegin(uint32_t size);
void progressImageDone(uint32_t bytesDone);
