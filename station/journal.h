// The journal (--journal=FILE): one JSON line per phone, appended and synced
// to the disk before the phone's end is shown; never rewritten. Every line
// that is there is whole: a torn last line (a crash, a full disk) is ended
// before the next record, and a record that fails midway is cut back.
#pragma once

#include <string>

#include "platform/files.h"
#include "station/observer.h"

// A wall-clock time as ISO 8601 UTC with milliseconds.
std::string utcText(int64_t ms);

// One phone's line (no line end).
std::string journalLine(const PhoneRecord& phone, const Slot& slot,
                        const StationIdentity& identity);

class Journal : public StationObserver {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal() override;
    // Ready for records: "" when it is, else why not (it is not a regular
    // file, it cannot be written, its disk is full).
    std::string open(const char* path);
    std::string phoneEnded(const Station& station, const Slot& slot,
                           const PhoneRecord& phone) override;

private:
    std::string path_;
    OutputFile file_ = kNoOutputFile;
};
