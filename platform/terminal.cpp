// The console services that are the same on every platform.
#include "platform/terminal.h"

bool terminal_read_line(char* buffer, size_t size, bool* truncated) {
    if (size == 0) return false;
    terminal_line_editing(true);
    size_t stored = 0;
    if (truncated != nullptr) *truncated = false;
    bool got_any = false;
    bool ok = false;
    for (;;) {
        const int ch = terminal_read_byte();
        if (ch < 0) {
            ok = got_any;
            break;
        }
        got_any = true;
        if (ch == '\n') {
            ok = true;
            break;
        }
        if (stored + 1 < size) {
            buffer[stored++] = static_cast<char>(ch);
        } else if (truncated != nullptr) {
            *truncated = true;
        }
    }
    // The CR of a CR LF line end is not part of the line.
    if (stored > 0 && buffer[stored - 1] == '\r') --stored;
    buffer[stored] = '\0';
    terminal_line_editing(false);
    return ok;
}
