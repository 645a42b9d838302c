// The statistics over journals (--stats=JOURNAL...): per slot, adapter, day,
// job or failure reason the phones, verified and failed, the yield, the
// median time of a verified phone and the most frequent failure. A bad
// cable shows as a slot whose yield stands out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "station/phone.h"

struct StatsRow {
    std::string key;
    int64_t phones = 0;
    int64_t verified = 0;
    int64_t failed = 0;
    std::vector<double> seconds;  // of the verified phones
    std::map<std::string, int64_t> reasons;
};

// One journal line into the rows (by is slot, adapter, day, job or reason):
// false when it is no record (torn, foreign), which counts nothing.
bool statsTake(const std::string& line, const std::string& by,
               std::map<std::string, StatsRow>* rows, StatsRow* all);
// The rows as text (aligned), csv or json (JSON Lines), `all` last.
std::string statsReport(const std::map<std::string, StatsRow>& rows, const StatsRow& all,
                        const std::string& format);

bool isStatsLine(int argc, char** argv);
// The exit status: 0, or 1 when the line is invalid or no journal can be read.
int runStats(int argc, char** argv);
