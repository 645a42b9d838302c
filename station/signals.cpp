#include "station/signals.h"

#include "app/console.h"

int bellRings(Bell bell, const Slot& slot, const PhoneRecord& phone) {
    if (bell == Bell::None || bell == Bell::Default) return 0;
    if (phone.result == "failed") return slot.quarantined ? 3 : 1;
    return phone.result == "verified" && bell == Bell::All ? 1 : 0;
}

std::string BellSignal::phoneEnded(const Station&, const Slot& slot, const PhoneRecord& phone) {
    const int rings = bellRings(bell_, slot, phone);
    if (rings > 0 && !consoleOutputLost())
        consoleWrite(std::string(static_cast<size_t>(rings), '\a').c_str());
    return "";
}
