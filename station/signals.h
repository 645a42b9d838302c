// Signals for an operator whose eyes are on the phones: the terminal's bell
// when a phone fails (three times when its slot is quarantined; --bell=all
// once per verified phone too); and a command after each phone's record
// (--on-result): a stack light, a label printer, the factory's database.
#pragma once

#include <deque>
#include <vector>

#include "station/observer.h"

struct Worker;

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

// A command run after each phone's record is on the disk, with the phone in
// its environment; in the background, one at a time a slot (the next
// waits), ended after kResultSeconds. Its failure is a note, never a failed
// phone; its output goes to the slot's log folder (or nowhere).
constexpr int64_t kResultSeconds = 30;

class ResultCommands {
public:
    ResultCommands(const Station& station, const char* command);
    ResultCommands(const ResultCommands&) = delete;
    ResultCommands& operator=(const ResultCommands&) = delete;
    ~ResultCommands();
    void queue(size_t slot, const PhoneRecord& phone);
    // Ends what has ended or ran too long, starts what waits: the notes.
    std::vector<std::string> poll(int64_t nowMs);
    bool idle() const;

private:
    struct Pending {
        int32_t phone = 0;
        std::vector<std::string> environment;
    };
    struct Running {
        Worker* worker = nullptr;
        int32_t phone = 0;
        int64_t startMs = 0;
        int64_t killedMs = -1;
    };
    std::string what(size_t slot, int32_t phone) const;
    const Station& station_;
    std::string command_;
    std::vector<std::deque<Pending>> waiting_;
    std::vector<Running> running_;
};
