// The station's screen where nothing is drawn in place (a log, a pipe, a
// dumb terminal): one line per change of state, each with the local time.
#pragma once

#include <string>

#include "station/observer.h"

// A wall-clock time in local time, as strftime's format has it; the time of
// day, "14:03:07".
std::string localTime(int64_t wallMs, const char* format);
std::string clockOfDay(int64_t wallMs);

// Text from a worker, a phone or a file as the terminal may show it: its
// control characters as '?' (no escape reaches the terminal).
std::string screenText(const std::string& text);

// A line of the station's own: an urgent one on standard error, and on
// standard output unless both are one place (then it would show twice).
void sayStationLine(const std::string& text, bool urgent);

class PlainLines : public StationObserver {
public:
    void slotChanged(const Station& station, const Slot& slot, const std::string& line) override;
    void stationSaid(const Station& station, const std::string& text, bool urgent) override;
};
