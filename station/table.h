// The station's screen on a terminal: one row per slot and a totals row,
// redrawn in place and fitted to the terminal's size at every redraw (no row
// ever wraps); where the slots do not fit its height, plain lines instead.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "station/observer.h"
#include "station/plain_lines.h"

// Text cut to at most width columns (a character a column), marked with
// "..." where it was cut: at its end, or at its start (keepEnd: a name whose
// end tells slots apart, such as a by-path device name).
std::string elide(const std::string& text, size_t width, bool keepEnd = false);

// The table's rows for a terminal `columns` wide, each shorter than that
// (the last column is never written: no terminal wraps there): the slots,
// the totals, and `said` (the station's last word) when there is one.
std::vector<std::string> tableRows(const Station& station, size_t columns, int64_t nowMs,
                                   const std::string& said);

class TerminalTable : public StationObserver {
public:
    explicit TerminalTable(bool colour) : colour_(colour) {}
    void slotChanged(const Station& station, const Slot& slot, const std::string& line) override;
    void stationSaid(const Station& station, const std::string& text, bool urgent) override;
    void refresh(const Station& station) override;
    void finish(const Station& station) override;

private:
    void erase();
    bool colour_;
    size_t drawn_ = 0;  // rows of the table on the screen
    int columns_ = 0;
    int rows_ = 0;
    bool plain_ = false;  // the slots did not fit: plain lines from then on
    PlainLines lines_;
    std::string said_;
};
