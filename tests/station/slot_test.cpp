// A slot's behaviour from its worker's event lines and the clock alone, one
// row a behaviour; the table's rows at any terminal size; stop requests.
#include "station/slot.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "station/control.h"
#include "station/signals.h"
#include "station/stats.h"
#include "station/table.h"

namespace {

// A step at a time (ms): a worker's bytes, or "tick" ("tick q": the station
// takes no new phones; a worker given up ends so), "stop CAUSE"
// (slotInterrupt), "exit N" or "signal N" (the worker ended so).
struct Step {
    int64_t ms;
    std::string what;
};

std::string line(const std::string& json) {
    return json + "\n";
}

const std::string kEnq = line(R"({"event":"stage","t":0.0,"stage":"enq-wait"})");
const std::string kIrom = line(R"({"event":"stage","t":1.5,"stage":"irom"})");
const std::string kImage =
    line(R"({"event":"stage","t":2,"stage":"image","index":0,"speed":460800})");
const std::string kEndVerified =
    line(R"({"event":"end","t":9,"exit_status":0,"result":"verified","reason":"","flash":""})");
const std::string kEndCrc = line(
    R"({"event":"end","t":9,"exit_status":2,"result":"failed","reason":"a.bin: CRC mismatch","flash":"1 of 1 images verified"})");

struct Outcome {
    std::string actions;  // what the ticks asked, when
    bool record = false;
};

Outcome play(Slot& slot, const std::vector<Step>& steps) {
    Outcome out;
    ImageFacts image;
    image.file = "a.bin";
    slotWorkerStarted(slot, {image}, "", 0, 1'000'000);
    for (const Step& step : steps) {
        const std::string& w = step.what;
        if (w.rfind("tick", 0) == 0) {
            static const char* const kNames[] = {"", "stop", "kill", "abandon"};
            const SlotAction action = slotTick(slot, step.ms, w == "tick q");
            if (action != SlotAction::None)
                out.actions +=
                    kNames[static_cast<int>(action)] + ("@" + std::to_string(step.ms)) + " ";
            if (action == SlotAction::Abandon)
                out.record = slotWorkerEnded(slot, {-1, 0, true}, step.ms, 2'000'000, 0, false);
        } else if (w.rfind("stop ", 0) == 0) {
            slotInterrupt(slot, w.substr(5), step.ms);
        } else if (w.rfind("exit ", 0) == 0 || w.rfind("signal ", 0) == 0) {
            const int n = std::stoi(w.substr(w.find(' ') + 1));
            const WorkerExit how{w[0] == 'e' ? n : -1, w[0] == 's' ? n : 0, false};
            out.record = slotWorkerEnded(slot, how, step.ms, 2'000'000, 0, false);
        } else {
            slotFeed(slot, w.data(), w.size(), step.ms);
        }
    }
    return out;
}

TEST(Slot, EventLinesInRecordsAndActionsOut) {
    const std::string longLine(kMaxEventLine + 10, 'x');
    // One row a behaviour, laid out by hand.
    // clang-format off
    const struct {
        const char* behaviour;
        std::vector<Step> steps;
        const char* result;  // "" when the worker had no phone (no record)
        const char* reason;
        Json exitStatus;
        const char* actions;
        const char* shown;  // in the slot's news, its cause or why it is unusable
    } rows[] = {
        {"a verified phone, its start from its announcement",
         {{0, kEnq}, {1500, kIrom}, {2000, kImage}, {9000, kEndVerified}, {9100, "exit 0"}},
         "verified", "", 0, "", "phone 1: verified in 7.6 s|"},
        {"an event split across two reads of the pipe",
         {{0, kIrom}, {1, kEndCrc.substr(0, 30)}, {2, kEndCrc.substr(30)}, {3, "exit 2"}},
         "failed", "a.bin: CRC mismatch", 2, "", "FAILED: a.bin: CRC mismatch|"},
        {"fields of the wrong type are ignored, the worker's end still counts",
         {{0, kIrom},
          {1, line(R"({"event":"image","index":"0","size":-5,"sha256":7})")},
          {2, line(R"({"event":"verdict","index":99,"result":"verified"})")},
          {3, line(R"([1,2])") + line("not json") + line(R"({"event":5})")},
          {4, line(R"({"event":"end","exit_status":"x","result":7,"reason":[1],"flash":null})")},
          {5, "exit 0"}},
         "failed", "", Json(), "", "FAILED: |"},
        {"a line without an end for 64 KiB is dropped, the next one is taken",
         {{0, kIrom}, {1, longLine}, {2, longLine}, {3, "\n" + kEndVerified}, {4, "exit 0"}},
         "verified", "", 0, "", "over 64 KiB was dropped|"},
        {"a last line without its line end still counts",
         {{0, kIrom}, {1, kEndCrc.substr(0, kEndCrc.size() - 1)}, {2, "exit 2"}},
         "failed", "a.bin: CRC mismatch", 2, "", ""},
        {"a worker that dies without its end event",
         {{0, kIrom}, {5, "signal 9"}},
         "failed", "the worker ended by signal 9, without its end event", Json(), "", ""},
        {"each event resets the watchdog's clock; silence past the stage's limit stops, then "
         "kills, then gives the worker up",
         {{0, kIrom}, {39'000, "tick"}, {39'500, line(R"({"event":"heard"})")}, {79'000, "tick"},
          {79'600, "tick"}, {89'000, "tick"}, {89'700, "tick"}, {94'000, "tick"}, {94'800, "tick"}},
         "failed", "no word from the worker for 40 s in stage irom; the worker could not be ended",
         Json(), "stop@79600 kill@89700 abandon@94800 ", "its worker could not be ended"},
        {"a worker silent from its start: the slot is unusable",
         {{29'900, "tick"}, {30'100, "tick"}, {30'200, "signal 15"}},
         "", "", Json(), "stop@30100 ", "unusable: no word from the worker for 30 s in stage start"},
        {"no limit while the worker waits for a phone; q stops it, no record",
         {{0, kEnq}, {600'000, "tick"}, {600'001, "tick q"}, {600'100, "exit 1"}},
         "", "", Json(), "stop@600001 ", "stopped|"},
        {"Ctrl-C: the phone is interrupted, named by what stopped it",
         {{0, kImage},
          {10, "stop SIGTERM"},
          {20, line(R"({"event":"end","exit_status":130,"result":"interrupted","reason":"Ctrl-C","flash":"x"})")},
          {30, "exit 130"}},
         "interrupted", "SIGTERM", 130, "", "interrupted: SIGTERM|"},
        {"a worker with no phone and a note: the slot is unusable",
         {{0, line(R"({"event":"note","text":"/dev/x: No such file or directory"})")},
          {1, line(R"({"event":"end","exit_status":1,"result":"failed","reason":"Failed to open the port. Status = -2"})")},
          {2, "exit 1"}},
         "", "", Json(), "", "/dev/x: No such file or directory"},
        {"the notes are the cause, without the answers' echo",
         {{0, kIrom},
          {1, line(R"({"event":"question","text":"CRC?","answer":"y","by":"answers"})")},
          {2, line(R"({"event":"note","text":"answered y by --answers"})")},
          {3, line(R"({"event":"note","text":"the serial device disappeared"})")},
          {4, kEndCrc},
          {5, "exit 2"}},
         "failed", "a.bin: CRC mismatch", 2, "", "|the serial device disappeared"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        Slot slot;
        slot.name = "A";
        const Outcome out = play(slot, row.steps);
        EXPECT_EQ(out.actions, row.actions);
        EXPECT_EQ(out.record, row.result[0] != '\0');
        EXPECT_FALSE(slot.busy);
        const PhoneRecord& phone = slot.phone;
        if (out.record) {
            EXPECT_EQ(phone.result, row.result);
            EXPECT_EQ(phone.reason, row.reason);
            EXPECT_EQ(phone.exitStatus, row.exitStatus);
            EXPECT_EQ(slot.verified + slot.failed + slot.interrupted, 1);
            EXPECT_EQ(slot.interrupted, phone.result == "interrupted" ? 1 : 0);
        }
        std::string shown;
        for (const std::string& news : slot.news)
            shown += news + "|";
        shown += phone.cause + slot.unusable;
        EXPECT_NE(shown.find(row.shown), std::string::npos) << shown;
    }
}

// K failed phones in a row quarantine a slot (an interrupted one is neither
// a failure nor a success); a verified phone or a release (r) starts the
// count again; the bell rings once a failure, three times at a quarantine.
TEST(Slot, QuarantinedAfterFailuresInARow) {
    // v verified, f failed, i interrupted, r the operator's release.
    const struct {
        const char* phones;
        int32_t after;
        const char* quarantined;  // after each phone: Q or -
        const char* rings;        // the bell (--bell=fail; =all where verified rings)
        Bell bell;
    } rows[] = {
        {"fff", 3, "--Q", "113", Bell::Fail},    {"ffvff", 3, "-----", "11111", Bell::All},
        {"ffif", 3, "---Q", "1103", Bell::Fail}, {"ffrff", 2, "-Q-Q", "1313", Bell::Fail},
        {"ffff", 0, "----", "1111", Bell::Fail}, {"vf", 1, "-Q", "03", Bell::Fail},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.phones);
        Slot slot;
        slot.name = "A";
        slot.quarantineAfter = row.after;
        std::string quarantined, rings;
        for (const char* p = row.phones; *p != '\0'; ++p) {
            if (*p == 'r') {
                EXPECT_TRUE(slotRelease(slot));
                EXPECT_FALSE(slotRelease(slot));
                continue;
            }
            const std::vector<Step> steps[] = {{{0, kIrom}, {1, kEndVerified}, {2, "exit 0"}},
                                               {{0, kIrom}, {1, kEndCrc}, {2, "exit 2"}},
                                               {{0, kImage}, {1, "stop Ctrl-C"}, {2, "exit 130"}}};
            play(slot, steps[*p == 'v' ? 0 : *p == 'f' ? 1 : 2]);
            quarantined += slot.quarantined ? 'Q' : '-';
            rings += static_cast<char>('0' + bellRings(row.bell, slot, slot.phone));
        }
        EXPECT_EQ(quarantined, row.quarantined);
        EXPECT_EQ(rings, row.rings);
        if (slot.quarantined) {
            EXPECT_EQ(slot.state, "QUARANTINED after " + std::to_string(row.after) +
                                      (row.after == 1 ? " failure" : " failures") +
                                      " in a row: a.bin: CRC mismatch");
        }
    }
    PhoneRecord failed;
    failed.result = "failed";
    EXPECT_EQ(bellRings(Bell::None, Slot{}, failed), 0);
    // An adapter that comes back with another serial number is said once;
    // the next phone's record carries it.
    Slot slot;
    slot.name = "A";
    std::string said;
    for (const char* serial : {"A50285BI", "A50285BI", "FT9XK2LQ", "FT9XK2LQ"})
        said += slotAdapterSeen(slot, {{"vid", "0403"}, {"serial", serial}}) + "|";
    EXPECT_EQ(said, "||A: adapter changed: serial number FT9XK2LQ (was A50285BI)||");
    slotWorkerStarted(slot, {}, "", 0, 0);
    EXPECT_EQ(slot.phone.adapter["serial"], "FT9XK2LQ");
}

// The statistics group the records as asked; lines that are no record (torn,
// foreign, fields of the wrong type) count nothing.
TEST(Stats, RecordsByKeyInEachFormat) {
    const std::string lines[] = {
        R"({"slot":"A","result":"verified","seconds":40,"start":"2026-12-09T23:59:00.000Z","adapter":{"serial":"FT1"},"job":{"name":"l3"}})",
        R"({"slot":"A","result":"verified","seconds":44,"start":"2026-12-10T00:01:00.000Z","adapter":{"serial":"FT1"},"job":null})",
        R"({"slot":"B","result":"failed","reason":"a.bin: CRC mismatch","seconds":9,"start":"2026-12-10T00:02:00.000Z","adapter":null})",
        R"({"slot":"B","result":"interrupted","reason":"Ctrl-C","seconds":3})",
        R"({"slot":"B","result":"failed","reason":"x, \"y\"","seconds":2})",
        R"({"slot":"B","result":"fail)",
        R"({"slot":7,"result":"verified"})",
        R"(["slot","A"])",
    };
    // clang-format off
    const struct {
        const char* by;
        const char* format;
        std::string report;
    } rows[] = {
        {"slot", "csv", "key,phones,verified,failed,yield,median_seconds,top_reason\n"
                        "A,2,2,0,100.0,42.0,\n"
                        "B,3,0,2,0.0,,a.bin: CRC mismatch\n"
                        "all,5,2,2,50.0,42.0,a.bin: CRC mismatch\n"},
        {"day", "json", R"({"key":"-","phones":2,"verified":0,"failed":1,"yield":0.0,"median_seconds":null,"top_reason":"x, \"y\""})" "\n"
                        R"({"key":"2026-12-09","phones":1,"verified":1,"failed":0,"yield":100.0,"median_seconds":40.0,"top_reason":""})" "\n"
                        R"({"key":"2026-12-10","phones":2,"verified":1,"failed":1,"yield":50.0,"median_seconds":44.0,"top_reason":"a.bin: CRC mismatch"})" "\n"
                        R"({"key":"all","phones":5,"verified":2,"failed":2,"yield":50.0,"median_seconds":42.0,"top_reason":"a.bin: CRC mismatch"})" "\n"},
        {"reason", "csv", "key,phones,verified,failed,yield,median_seconds,top_reason\n"
                          "-,2,2,0,100.0,42.0,\n"
                          "Ctrl-C,1,0,0,,,\n"
                          "a.bin: CRC mismatch,1,0,1,0.0,,a.bin: CRC mismatch\n"
                          "\"x, \"\"y\"\"\",1,0,1,0.0,,\"x, \"\"y\"\"\"\n"
                          "all,5,2,2,50.0,42.0,a.bin: CRC mismatch\n"},
        {"adapter", "text", "key  phones  verified  failed  yield  median_seconds  top_reason\n"
                            "-         3         0       2    0.0                  a.bin: CRC mismatch\n"
                            "FT1       2         2       0  100.0            42.0\n"
                            "all       5         2       2   50.0            42.0  a.bin: CRC mismatch\n"},
        {"job", "csv", "key,phones,verified,failed,yield,median_seconds,top_reason\n"
                       "-,4,1,2,33.3,44.0,a.bin: CRC mismatch\n"
                       "l3,1,1,0,100.0,40.0,\n"
                       "all,5,2,2,50.0,42.0,a.bin: CRC mismatch\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.by);
        std::map<std::string, StatsRow> rows;
        StatsRow all;
        int taken = 0;
        for (const std::string& line : lines)
            taken += statsTake(line, row.by, &rows, &all) ? 1 : 0;
        EXPECT_EQ(taken, 5);
        EXPECT_EQ(statsReport(rows, all, row.format), row.report);
    }
}

// Every row shorter than the terminal is wide, whatever the names and the
// states; slot names that differ still differ where they were cut.
TEST(Table, RowsFitTheTerminal) {
    for (const size_t slots : {8, 20}) {
        Station station;
        for (size_t i = 0; i < slots; ++i) {
            Slot slot;
            slot.name = "pci-0000:00:14.0-usb-0:" + std::to_string(i) + ":1.0-port0";
            slot.state = "FAILED: " + std::string(300, 'r');
            slot.busy = slot.phone.started = true;
            station.slots.push_back(slot);
        }
        for (const size_t columns : {200, 80, 40, 20}) {
            SCOPED_TRACE(std::to_string(slots) + " slots, " + std::to_string(columns) + " columns");
            const auto rows = tableRows(station, columns, 61'000, "journal: a record failed");
            ASSERT_EQ(rows.size(), slots + 2);
            for (const std::string& row : rows)
                EXPECT_LT(row.size(), columns) << row;
            EXPECT_NE(rows[0].find("..."), std::string::npos);
            EXPECT_TRUE(columns < 80 || rows[0].substr(0, 40) != rows[1].substr(0, 40));
        }
    }
    EXPECT_EQ(elide("a long state", 8), "a lon...");
}

// The control port's conversation, a line of bytes a row: each reply, and
// what it did to the slots (A flashes its phone 1, B is quarantined).
TEST(Control, EachLineItsReply) {
    struct Actions : ControlActions {
        Station* station = nullptr;
        std::string done;
        bool abortPhone(size_t i) override {
            done += "abort " + std::to_string(i) + ";";
            return station->slots[i].phone.started;
        }
        bool releaseSlot(size_t i) override { return slotRelease(station->slots[i]); }
        void stopStation() override { done += "stop;"; }
    };
    // clang-format off
    const struct {
        const char* token;
        std::string in;
        const char* out;    // a regular expression for all that was queued
        const char* after;  // A's paused, label, next label; B's paused, quarantined; actions
        bool closed;
    } rows[] = {
        {"", "hello\r\n", R"(OK \{"version":"[^"]*","schema":1,"station":"s1","job":null,"slots":\["A","B"\]\}\n)", "0,,;0,1;", false},
        {"", "STATUS\n", R"(OK \{.*"slots":\[\{"slot":"A",.*"state":"image 1/2",.*"phone":1,.*"quarantined":true.*"verified":3,"failed":4,.*\}\n)", "0,,;0,1;", false},
        {"", "PAUSE\nRESUME b\nresume B\n", "OK\nOK\nERR state slot B is not paused\n", "1,,;0,1;", false},
        {"", "PAUSE A\nPAUSE A\nPAUSE Z\nPAUSE A B\n", "OK\nERR state slot A is paused\nERR unknown-slot no slot 'Z'\nERR syntax PAUSE \\[SLOT\\]\n", "1,,;0,1;", false},
        {"", "LABEL a  IMEI 35 <b>x</b> \n", "OK\n", "0,IMEI 35 <b>x</b>,;0,1;", false},
        {"", "LABEL B " + std::string(65, 'x') + "\nLABEL B\n", "ERR syntax a label is 1 to 64 printable characters\nERR syntax LABEL SLOT TEXT\n", "0,,;0,1;", false},
        {"", "RELEASE B\nRELEASE B\nABORT A\nABORT B\nSTOP\nSTOP now\n", "OK\nERR state slot B is not quarantined\nOK\nERR state slot B has no phone being flashed\nOK\nERR syntax STOP takes nothing more\n", "0,,;0,0;abort 0;abort 1;stop;", false},
        {"", std::string("HELLO\0\xff\n", 8), "ERR syntax a command is printable text\n", "0,,;0,1;", false},
        {"", "FLASH A\n\n \nAUTH x\n", "ERR unknown-command 'FLASH': HELLO, STATUS, PAUSE, RESUME, LABEL, RELEASE, ABORT, STOP, SUBSCRIBE\nOK\n", "0,,;0,1;", false},
        {"", std::string(5000, 'S') + "\nHELLO\n", "ERR too-long a line over 4096 bytes\n", "0,,;0,1;", true},
        {"t0k", "HELLO\nSTOP\n", "ERR auth AUTH with the station's token first\n", "0,,;0,1;", true},
        {"t0k", "AUTH t0\n", "ERR auth AUTH with the station's token first\n", "0,,;0,1;", true},
        {"t0k", "auth t0k\nSTOP\n", "OK\nOK\n", "0,,;0,1;stop;", false},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in.substr(0, 60));
        Station station;
        station.identity.station = "s1";
        for (const char* name : {"A", "B"}) {
            Slot slot;
            slot.name = name;
            station.slots.push_back(slot);
        }
        slotWorkerStarted(station.slots[0], {ImageFacts{}, ImageFacts{}}, "", 0, 0);
        slotFeed(station.slots[0], kIrom.data(), kIrom.size(), 10);
        slotFeed(station.slots[0], kImage.data(), kImage.size(), 10);
        station.slots[0].verified = 3;
        station.slots[1].failed = 4;
        station.slots[1].quarantined = true;
        Actions actions;
        actions.station = &station;
        ControlSession session(station, actions, row.token);
        // Byte by byte as a slow client sends, or all at once.
        for (size_t i = 0; i < row.in.size(); i += 3)
            session.feed(row.in.data() + i, std::min<size_t>(3, row.in.size() - i), 50);
        EXPECT_TRUE(std::regex_match(session.out, std::regex(row.out))) << session.out;
        const Slot& a = station.slots[0];
        const Slot& b = station.slots[1];
        EXPECT_EQ(std::to_string(a.paused) + "," + a.phone.label + "," + a.label + ";" +
                      std::to_string(b.paused) + "," + std::to_string(b.quarantined) + ";" +
                      actions.done,
                  row.after);
        EXPECT_EQ(session.closing, row.closed);
        // A slot paused while its phone is flashed says so on the screen.
        EXPECT_EQ(tableRows(station, 120, 50, "")[0].find("(paused) image") != std::string::npos,
                  a.paused);
    }
}

// A stop request is taken once: the loop that took it sleeps again.
TEST(StopRequest, TakenOnce) {
    stop_requests_catch();
    std::raise(SIGTERM);
    EXPECT_EQ(stop_request_take(), StopTerminate);
    EXPECT_EQ(stop_request_take(), StopNone);
}

}  // namespace
