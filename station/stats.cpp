#include "station/stats.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "app/run_state.h"
#include "station/fields.h"
#include "station/plain_lines.h"

namespace {

// A record is a line of a few KiB: a longer one is no record of ours.
constexpr size_t kMaxRecordLine = 1 << 20;
constexpr const char* kColumns[] = {"key",   "phones",         "verified",  "failed",
                                    "yield", "median_seconds", "top_reason"};

// The record's key for a grouping; "-" where the record has none.
std::string keyOf(const Json& record, const std::string& by) {
    const std::string* text = nullptr;
    if (by == "slot") {
        text = stringField(record, "slot");
    } else if (by == "reason") {
        text = stringField(record, "reason");
    } else if (by == "day") {
        const std::string* start = stringField(record, "start");
        return start != nullptr && start->size() >= 10 ? start->substr(0, 10) : "-";
    } else {
        const auto object = record.find(by == "adapter" ? "adapter" : "job");
        if (object != record.end() && object->is_object())
            text = stringField(*object, by == "adapter" ? "serial" : "name");
    }
    return text != nullptr && !text->empty() ? *text : "-";
}

void count(StatsRow& row, const std::string& result, double seconds, const std::string& reason) {
    ++row.phones;
    if (result == "verified") {
        ++row.verified;
        row.seconds.push_back(seconds);
    } else if (result == "failed") {
        ++row.failed;
        ++row.reasons[reason];
    }
}

// The values of a row as texts; "" where there is none (no yield without a
// verified or failed phone).
std::vector<std::string> cells(const StatsRow& row) {
    char yield[16] = "";
    if (row.verified + row.failed > 0)
        std::snprintf(yield, sizeof yield, "%.1f",
                      100.0 * static_cast<double>(row.verified) /
                          static_cast<double>(row.verified + row.failed));
    char median[24] = "";
    if (!row.seconds.empty()) {
        std::vector<double> sorted = row.seconds;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        std::snprintf(median, sizeof median, "%.1f",
                      n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2);
    }
    std::string top;
    int64_t most = 0;
    for (const auto& [reason, times] : row.reasons) {
        if (times > most) {
            most = times;
            top = reason;
        }
    }
    return {row.key,
            std::to_string(row.phones),
            std::to_string(row.verified),
            std::to_string(row.failed),
            yield,
            median,
            top};
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted.append(c == '"' ? 2 : 1, c);
    return quoted + "\"";
}

// --stats=, --by=, --stats-format=: "" when the line is valid, else why not.
std::string parseLine(int argc, char** argv, std::vector<const char*>* journals, std::string* by,
                      std::string* format) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--stats=", 0) == 0 && arg.size() > 8) {
            journals->push_back(argv[i] + 8);
        } else if (arg.rfind("--by=", 0) == 0) {
            *by = arg.substr(5);
            if (*by != "slot" && *by != "adapter" && *by != "day" && *by != "job" &&
                *by != "reason")
                return "'" + arg + "': --by= takes slot, adapter, day, job or reason";
        } else if (arg.rfind("--stats-format=", 0) == 0) {
            *format = arg.substr(15);
            if (*format != "text" && *format != "csv" && *format != "json")
                return "'" + arg + "': --stats-format= takes text, csv or json";
        } else {
            return "'" + screenText(arg) +
                   "': --stats takes --stats=JOURNAL..., --by= and --stats-format=";
        }
    }
    return "";
}

}  // namespace

bool statsTake(const std::string& line, const std::string& by,
               std::map<std::string, StatsRow>* rows, StatsRow* all) {
    const Json record = Json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) return false;
    const std::string* result = stringField(record, "result");
    const std::string* slot = stringField(record, "slot");
    if (result == nullptr || slot == nullptr ||
        (*result != "verified" && *result != "failed" && *result != "stopped" &&
         *result != "interrupted"))
        return false;
    const auto seconds = record.find("seconds");
    const double time =
        seconds != record.end() && seconds->is_number() ? seconds->get<double>() : 0;
    const std::string* reason = stringField(record, "reason");
    const std::string why = reason != nullptr ? *reason : "";
    const std::string key = keyOf(record, by);
    StatsRow& row = (*rows)[key];
    row.key = key;
    count(row, *result, time, why);
    count(*all, *result, time, why);
    return true;
}

std::string statsReport(const std::map<std::string, StatsRow>& rows, const StatsRow& all,
                        const std::string& format) {
    std::vector<const StatsRow*> ordered;
    for (const auto& [key, row] : rows)
        ordered.push_back(&row);
    StatsRow total = all;
    total.key = "all";
    ordered.push_back(&total);
    std::vector<std::vector<std::string>> table;
    std::string out;
    for (const StatsRow* row : ordered) {
        table.push_back(cells(*row));
        if (format != "json") continue;
        const std::vector<std::string>& cell = table.back();
        const auto number = [](const std::string& text) {
            return text.empty() ? Json() : Json(std::strtod(text.c_str(), nullptr));
        };
        const Json line = {{kColumns[0], row->key},        {kColumns[1], row->phones},
                           {kColumns[2], row->verified},   {kColumns[3], row->failed},
                           {kColumns[4], number(cell[4])}, {kColumns[5], number(cell[5])},
                           {kColumns[6], cell[6]}};
        out += line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    if (format == "json") return out;
    table.insert(table.begin(), std::vector<std::string>(std::begin(kColumns), std::end(kColumns)));
    if (format == "csv") {
        for (const auto& cell : table) {
            for (size_t c = 0; c < cell.size(); ++c)
                out.append(c > 0 ? "," : "").append(csvField(cell[c]));
            out += "\n";
        }
        return out;
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (auto& cell : table) {
        for (size_t c = 0; c < cell.size(); ++c) {
            cell[c] = screenText(cell[c]);  // a reason is a worker's text
            widths[c] = std::max(widths[c], cell[c].size());
        }
    }
    for (const auto& cell : table) {
        std::string line;
        for (size_t c = 0; c < cell.size(); ++c) {
            // Names and the reason to the left, the numbers to the right.
            const bool left = c == 0 || c + 1 == cell.size();
            const std::string pad(widths[c] - cell[c].size(), ' ');
            line.append(c > 0 ? "  " : "").append(left ? cell[c] + pad : pad + cell[c]);
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

bool isStatsLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--stats=", 8) == 0) return true;
    return false;
}

int runStats(int argc, char** argv) {
    consoleInit();
    std::vector<const char*> journals;
    std::string by = "slot";
    std::string format = "text";
    if (const std::string why = parseLine(argc, argv, &journals, &by, &format); !why.empty()) {
        consoleNote("%s", why.c_str());
        return kExitAbort;
    }
    std::map<std::string, StatsRow> rows;
    StatsRow all;
    int32_t read = 0;
    for (const char* journal : journals) {
        FILE* file = std::fopen(journal, "rb");
        if (file == nullptr) {
            consoleNote("%s: %s", journal, std::strerror(errno));
            continue;
        }
        ++read;
        int64_t skipped = 0;
        std::string line;
        bool overlong = false;
        for (int c; (c = std::fgetc(file)) != EOF || !line.empty() || overlong;) {
            if (c != '\n' && c != EOF) {
                if (line.size() < kMaxRecordLine)
                    line += static_cast<char>(c);
                else
                    overlong = true;
                continue;
            }
            if (overlong || (!line.empty() && !statsTake(line, by, &rows, &all))) ++skipped;
            line.clear();
            overlong = false;
            if (c == EOF) break;
        }
        std::fclose(file);
        if (skipped > 0)
            consoleNote("%s: %s line%s skipped (torn, or not a phone's record)", journal,
                        std::to_string(skipped).c_str(), skipped == 1 ? "" : "s");
    }
    if (read == 0) {
        consoleNote("no journal could be read");
        return kExitAbort;
    }
    consoleWrite(statsReport(rows, all, format).c_str());
    return kExitSuccess;
}
