#include "station/table.h"

#include <algorithm>
#include <cstdio>

#include "app/console.h"
#include "platform/terminal.h"

namespace {

// The size assumed when the terminal does not say.
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;

// A character a column: the continuation bytes of UTF-8 take none.
bool continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

size_t columnsOf(const std::string& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !continuation(c); }));
}

// The bytes of the first `columns` characters.
size_t bytesFor(const std::string& text, size_t columns) {
    size_t bytes = 0;
    for (size_t seen = 0; bytes < text.size(); ++bytes) {
        if (!continuation(text[bytes]) && seen++ == columns) break;
    }
    return bytes;
}

std::string padded(const std::string& text, size_t width, bool keepEnd = false) {
    std::string cut = elide(text, width, keepEnd);
    cut.append(width - std::min(width, columnsOf(cut)), ' ');
    return cut;
}

std::string clockText(double seconds) {
    char text[24];
    const auto whole = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

const char* colourOf(const std::string& row) {
    if (row.find("FAILED") != std::string::npos || row.find("unusable") != std::string::npos ||
        row.find("QUARANTINED") != std::string::npos)
        return "\x1b[31m";
    if (row.find("interrupted") != std::string::npos || row.find("no adapter") != std::string::npos)
        return "\x1b[33m";
    if (row.find("verified") != std::string::npos) return "\x1b[32m";
    return "";
}

}  // namespace

std::string elide(const std::string& text, size_t width, bool keepEnd) {
    const size_t length = columnsOf(text);
    if (length <= width) return text;
    if (width <= 3) return text.substr(0, bytesFor(text, width));
    if (!keepEnd) return text.substr(0, bytesFor(text, width - 3)) + "...";
    return "..." + text.substr(bytesFor(text, length - (width - 3)));
}

std::vector<std::string> tableRows(const Station& station, size_t columns, int64_t nowMs,
                                   const std::string& said) {
    const size_t usable = columns > 1 ? columns - 1 : 1;
    size_t longest = 3;  // "all"
    for (const Slot& slot : station.slots)
        longest = std::max(longest, columnsOf(slot.name));
    const size_t nameWidth = std::min(longest, std::max<size_t>(6, usable / 5));
    const bool wide = usable >= 60;  // "ok" and "failed" spelt out
    const bool timed = usable >= 40;
    const size_t fixed = nameWidth + 2 + (wide ? 19 : 9) + 2 + (timed ? 7 : 0);
    // The width there is, up to what a reason needs: the time stays in sight.
    const size_t stateWidth = std::min<size_t>(usable > fixed ? usable - fixed : 0, 100);
    const auto row = [&](const std::string& name, int32_t verified, int32_t failed,
                         const std::string& state, const std::string& time) {
        char counts[48];
        std::snprintf(counts, sizeof counts, wide ? "%4d ok %4d failed" : "%4d/%-4d",
                      static_cast<int>(verified), static_cast<int>(failed));
        std::string text = padded(name, nameWidth, true) + "  " + counts + "  ";
        if (timed) {
            char right[16];
            std::snprintf(right, sizeof right, "%6s", time.c_str());
            text += padded(state, stateWidth) + " " + right;
        } else {
            text += elide(state, stateWidth);
        }
        return elide(text, usable);
    };
    std::vector<std::string> rows;
    if (!station.identity.jobName.empty())
        rows.push_back(elide(screenText(jobText(station)), usable));
    bool quarantine = false;
    for (const Slot& slot : station.slots) {
        quarantine = quarantine || slot.quarantined;
        const bool timing = slot.busy && slot.phone.started;
        const std::string& label = slotLabelNow(slot);
        // A slot paused while its phone is flashed, or after it, says so too.
        const std::string paused = slot.paused && slot.state != "paused" ? "(paused) " : "";
        rows.push_back(
            row(screenText(slot.name), slot.verified, slot.failed,
                screenText(paused + (label.empty() ? "" : "[" + label + "] ") + slot.state),
                timing ? clockText(static_cast<double>(nowMs - slot.phoneStartMs) / 1000.0) : ""));
    }
    const auto [verified, failed, interrupted] = stationCounts(station);
    const int64_t ms = nowMs - station.startMs;
    const std::string yield = yieldText(verified, failed, ms);
    // The station's own time stands where a slot's phone time does.
    const std::string status =
        (yield.empty() ? "" : yield.substr(2) + "; ") +
        (interrupted > 0 ? std::to_string(interrupted) + " interrupted; " : std::string()) +
        (station.stopping ? "stopping"
         : quarantine     ? "r: release; q: no new phones"
                          : "q: no new phones");
    rows.push_back(
        row("all", verified, failed, status, clockText(static_cast<double>(ms) / 1000.0)));
    if (!said.empty()) rows.push_back(elide(screenText(said), usable));
    return rows;
}

void TerminalTable::slotChanged(const Station& station, const Slot& slot, const std::string& line) {
    if (plain_) lines_.slotChanged(station, slot, line);
}

void TerminalTable::stationSaid(const Station& station, const std::string& text, bool urgent) {
    said_ = text;
    if (plain_) {
        lines_.stationSaid(station, text, urgent);
        return;
    }
    // Above the table, where it stays as the table is redrawn.
    erase();
    sayStationLine(text, urgent);
    refresh(station);
}

void TerminalTable::refresh(const Station& station) {
    if (plain_ || consoleOutputLost()) return;
    int columns = kDefaultColumns;
    int rows = kDefaultRows;
    if (!terminal_size(&columns, &rows)) {
        columns = kDefaultColumns;
        rows = kDefaultRows;
    }
    const std::vector<std::string> table =
        tableRows(station, static_cast<size_t>(columns), steadyMs(), said_);
    if (table.size() + 1 > static_cast<size_t>(rows)) {
        erase();
        plain_ = true;
        sayStationLine("the table needs " + std::to_string(table.size() + 1) +
                           " rows, the terminal " + std::to_string(rows) + ": one line per change",
                       false);
        return;
    }
    std::string text;
    if (drawn_ > 0 && (columns != columns_ || rows != rows_)) {
        // A resized terminal may have moved the rows: the table starts afresh.
        text += "\x1b[H\x1b[2J";
    } else if (drawn_ > 0) {
        text += "\x1b[" + std::to_string(drawn_) + "A";
    }
    columns_ = columns;
    rows_ = rows;
    for (const std::string& row : table) {
        const char* on = colour_ ? colourOf(row) : "";
        text += std::string("\r\x1b[K") + on + row + (on[0] != '\0' ? "\x1b[0m" : "") + "\n";
    }
    text += "\x1b[J";  // a row of a longer table drawn before
    drawn_ = table.size();
    consoleWrite(text.c_str());
}

void TerminalTable::finish(const Station& station) {
    refresh(station);
    drawn_ = 0;
}

void TerminalTable::erase() {
    if (drawn_ == 0 || consoleOutputLost()) return;
    consoleWrite(("\x1b[" + std::to_string(drawn_) + "A\r\x1b[J").c_str());
    drawn_ = 0;
}
