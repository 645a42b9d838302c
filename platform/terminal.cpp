// The console services that are the same on every platform.
#include "platform/terminal.h"

#include "platform/keyboard.h"

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

namespace {

volatile bool output_line_open = false;
volatile intptr_t signal_event_file = -1;
volatile uint64_t signal_event_start = 0;
const char* volatile signal_event_texts[2] = {nullptr, nullptr};  // interrupt, other

}  // namespace

void terminal_output_line_open(bool open) {
    output_line_open = open;
}

bool terminal_output_line_is_open() {
    return output_line_open;
}

void terminal_set_signal_event(intptr_t file, uint64_t start_us, const char* on_interrupt,
                               const char* on_other) {
    signal_event_start = start_us;
    signal_event_texts[0] = on_interrupt;
    signal_event_texts[1] = on_other;
    signal_event_file = file;
}

size_t terminal_signal_event_line(bool interrupt, char* out, size_t size, intptr_t* file) {
    *file = signal_event_file;
    const char* text = signal_event_texts[interrupt ? 0 : 1];
    if (text == nullptr || size < 32) return 0;
    size_t n = 0;
    while (text[n] != '\0' && n + 32 < size) {
        out[n] = text[n];
        ++n;
    }
    // Seconds with three decimals, digits by hand: no library call is safe here.
    const uint64_t ms = (platform_micros() - signal_event_start) / 1000U;
    char digits[24];
    size_t d = 0;
    for (uint64_t whole = ms / 1000U; d == 0 || whole > 0; whole /= 10U)
        digits[d++] = static_cast<char>('0' + whole % 10U);
    while (d > 0)
        out[n++] = digits[--d];
    out[n++] = '.';
    out[n++] = static_cast<char>('0' + ms / 100U % 10U);
    out[n++] = static_cast<char>('0' + ms / 10U % 10U);
    out[n++] = static_cast<char>('0' + ms % 10U);
    out[n++] = '}';
    out[n++] = '\n';
    return n;
}
