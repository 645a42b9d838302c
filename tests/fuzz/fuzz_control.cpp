// The control port's conversation: any bytes from a client, in any pieces
// (the first byte: with a token or not, and where the pieces break). Every
// reply is one line, OK (with one JSON object) or ERR with a known code; no
// slot takes a label that is not printable or too long; a closed session
// answers nothing more.
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "station/control.h"
#include "station/station.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

struct Actions : ControlActions {
    Station* station = nullptr;
    bool abortPhone(size_t i) override { return station->slots.at(i).busy; }
    bool releaseSlot(size_t i) override { return slotRelease(station->slots.at(i)); }
    void stopStation() override { station->stopping = true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Station station;
    for (const char* name : {"A", "B", "left-2"}) {
        Slot slot;
        slot.name = name;
        station.slots.push_back(slot);
    }
    station.slots[1].quarantined = true;
    Actions actions;
    actions.station = &station;
    const bool token = (data[0] & 1) != 0;
    const size_t piece = 1 + (data[0] >> 1);
    ControlSession session(station, actions, token ? "t0k" : "");
    size_t lines = 0;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        const bool closed = session.closing;
        const size_t before = session.out.size();
        for (size_t i = at; i < at + n; ++i)
            lines += data[i] == '\n' ? 1 : 0;
        session.feed(reinterpret_cast<const char*>(data) + at, n, 0);
        require(!closed || session.out.size() == before, "nothing after the close");
    }
    static const std::regex reply(
        "OK|OK \\{.*\\}|ERR (syntax|unknown-command|unknown-slot|state|auth|busy|too-long) .+");
    size_t replies = 0;
    for (size_t start = 0, end; (end = session.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = session.out.substr(start, end - start);
        require(std::regex_match(line, reply), "a known reply");
        if (line.size() > 3 && line[3] == '{')
            require(!Json::parse(line.substr(3), nullptr, false).is_discarded(), "its JSON");
        ++replies;
    }
    require(session.out.empty() || session.out.back() == '\n', "whole lines");
    require(replies <= lines + 1, "at most one reply a line (and one for a line too long)");
    for (const Slot& slot : station.slots)
        for (const std::string* label : {&slot.label, &slot.phone.label}) {
            require(label->size() <= kMaxLabel, "a label's length");
            for (char c : *label)
                require(c >= 0x20 && c < 0x7F, "a printable label");
        }
    return 0;
}
