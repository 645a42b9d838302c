// What shows or keeps what happens to the slots (the terminal table, the
// plain lines, the journal) takes it through this one small interface, in
// the order the supervisor calls them; none reaches into the loop.
#pragma once

#include <string>

#include "station/station.h"

class StationObserver {
public:
    virtual ~StationObserver() = default;
    // A phone's record, before its end is shown anywhere: "" when it is kept,
    // else why it could not be (the station then takes no new phone).
    virtual std::string phoneEnded(const Station&, const Slot&, const PhoneRecord&) { return ""; }
    // A change of a slot's state, as one line ("phone 3: loader").
    virtual void slotChanged(const Station&, const Slot&, const std::string&) {}
    // What the station says of itself (a stop, a halt); an urgent one goes
    // to standard error too.
    virtual void stationSaid(const Station&, const std::string&, bool /*urgent*/) {}
    // Now and then (about four times a second): the whole station.
    virtual void refresh(const Station&) {}
    // The station's loop has ended.
    virtual void finish(const Station&) {}
};
