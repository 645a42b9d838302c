#include "app/progress.h"

#include <cinttypes>
#include <cstdio>

#include "app/console.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

namespace {

bool enabled = false;
bool inPlace = false;  // a terminal: the line is rewritten

const char* waitName = nullptr;
uint32_t waitStart = 0;
uint32_t waitShown = 0;  // seconds shown last

uint32_t imageSize = 0;
uint32_t imageStart = 0;
uint32_t lastDraw = 0;
uint32_t lastStep = 0;  // the last 5 % step printed, when not in place
size_t lineLength = 0;  // of the line being rewritten

// Rewrites the line in place (a terminal) or prints it as a line of its own.
// The last line of an image gets no line end: the text that follows the
// blocks starts with one, as after the rows of glyphs.
void show(const char* text, size_t length, bool last = false) {
    if (!inPlace) {
        consolePrint(last ? "%s" : "%s\n", text);
        return;
    }
    // Blanks over what a longer line before left.
    const int pad = lineLength > length ? static_cast<int>(lineLength - length) : 0;
    consolePrint("\r%s%*s", text, pad, "");
    lineLength = length;
}

void clearLine() {
    if (!inPlace || lineLength == 0) return;
    consolePrint("\r%*s\r", static_cast<int>(lineLength), "");
    lineLength = 0;
}

void formatTime(char* out, size_t size, uint32_t seconds) {
    std::snprintf(out, size, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
}

// Every wait passes here: the elapsed seconds of a named wait.
int32_t progressIdle(SerialPort* port) {
    if (waitName != nullptr) {
        const uint32_t seconds = (tick_ms() - waitStart) / 1000;
        // Each second on a terminal; every 5 s in a log.
        if (seconds != waitShown && (inPlace || seconds % 5 == 0)) {
            waitShown = seconds;
            char text[96];
            const int n = std::snprintf(text, sizeof text, "  %s: %u s", waitName,
                                        static_cast<unsigned>(seconds));
            show(text, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    return pump_messages(port);
}

}  // namespace

void progressEnable(bool on) {
    enabled = on;
    inPlace = on && terminal_output_is_console();
    set_idle_hook(on ? progressIdle : nullptr);
}

bool progressEnabled() {
    return enabled;
}

void progressWaitBegin(const char* what) {
    if (!enabled) return;
    waitName = what;
    waitStart = tick_ms();
    waitShown = 0;
}

void progressWaitEnd() {
    if (!enabled) return;
    waitName = nullptr;
    clearLine();
}

void progressBreakLine() {
    if (!inPlace || lineLength == 0) return;
    consoleWrite("\n");
    lineLength = 0;
}

void progressImageBegin(uint32_t size) {
    if (!enabled) return;
    imageSize = size;
    imageStart = tick_ms();
    lastDraw = imageStart;
    lastStep = 0;
    lineLength = 0;
}

void progressImageDone(uint32_t bytesDone) {
    if (!enabled || imageSize == 0) return;
    const uint32_t now = tick_ms();
    const auto percent = static_cast<uint32_t>(uint64_t{bytesDone} * 100U / imageSize);
    const bool last = bytesDone >= imageSize;
    if (inPlace ? !last && now - lastDraw < 100 : !last && percent / 5 == lastStep / 5) return;
    lastDraw = now;
    lastStep = percent;
    const uint32_t elapsedMs = now - imageStart;
    const double rate = elapsedMs > 0 ? bytesDone / (elapsedMs / 1000.0) / 1000.0 : 0.0;
    const uint32_t leftSeconds =
        bytesDone > 0 ? static_cast<uint32_t>(uint64_t{elapsedMs} * (imageSize - bytesDone) /
                                              bytesDone / 1000U)
                      : 0;
    char elapsed[16];
    char left[16];
    formatTime(elapsed, sizeof elapsed, elapsedMs / 1000);
    formatTime(left, sizeof left, leftSeconds);
    char text[160];
    const int n =
        std::snprintf(text, sizeof text,
                      "  %3u%%  %" PRIu32 " of %" PRIu32 " bytes  %.1f kB/s  %s elapsed  %s left",
                      static_cast<unsigned>(percent), bytesDone, imageSize, rate, elapsed, left);
    show(text, n > 0 ? static_cast<size_t>(n) : 0, last);
    if (last) lineLength = 0;
}
