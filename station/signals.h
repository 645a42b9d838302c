// Signals for an operator whose eyes are on the phones: the terminal's bell
// when a phone fails (three times when its slot is quarantined; --bell=all
// once per verified phone too).
#pragma once

#include "station/observer.h"

// How often the bell rings for a phone's end (0: not at all).
int bellRings(Bell bell, const Slot& slot, const PhoneRecord& phone);

class BellSignal : public StationObserver {
public:
    explicit BellSignal(Bell bell) : bell_(bell) {}
    std::string phoneEnded(const Station& station, const Slot& slot,
                           const PhoneRecord& phone) override;

private:
    Bell bell_;
};
