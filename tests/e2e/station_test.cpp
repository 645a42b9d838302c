// The station against several virtual phones: each phone's fate on its own
// slot, the journal, the logs, the plain lines and the table, phone after
// phone, its stops, and what makes it take no more phones; and under Wine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/sha256.h"
#include "sim/sums.h"
#include "tests/e2e/native_or_wine.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine.h"

namespace {

using Json = nlohmann::json;

// The journal's records by slot and phone ("A1").
std::map<std::string, Json> records(const std::string& journal) {
    std::map<std::string, Json> byPhone;
    for (size_t start = 0, end; (end = journal.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const Json record = Json::parse(journal.substr(start, end - start), nullptr, false);
        EXPECT_TRUE(record.is_object()) << journal.substr(start, end - start);
        if (!record.is_object()) continue;
        byPhone[record["slot"].get<std::string>() + std::to_string(record["phone"].get<int>())] =
            record;
    }
    return byPhone;
}

std::string result(const std::map<std::string, Json>& journal, const std::string& which) {
    return journal.count(which) == 1 ? journal.at(which)["result"].get<std::string>() : "";
}

sim::PhoneConfig phone() {
    sim::PhoneConfig config;
    config.enqIntervalMs = 20;
    return config;
}

e2e::Scenario station(const std::vector<sim::PhoneConfig>& phones, double timeout = 120) {
    e2e::Scenario s = e2e::smallRun(timeout);
    s.stationPhones = phones;
    s.args = {"a.bin", "/l", "--journal=journal.json", "--log-dir=logs"};
    s.readBack = {"journal.json", "logs/"};
    return s;
}

// A client of the station's control port, on 127.0.0.1.
struct ControlClient {
    int fd = -1;
    std::string in;
    explicit ControlClient(uint16_t port) {
        for (int tries = 0; tries < 300 && fd < 0; ++tries) {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
            ::close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~ControlClient() {
        if (fd >= 0) ::close(fd);
    }
    void send(const std::string& text) const {
        for (size_t at = 0; at < text.size();) {
            const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<size_t>(n);
        }
    }
    // The next reply (EVT lines kept in events), or with text "" the next
    // EVT line that holds it; "" when the station closed or fell silent.
    std::string events;
    std::string next(const std::string& text = "", int timeoutS = 90) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
        for (;;) {
            for (size_t end; (end = in.find('\n')) != std::string::npos;) {
                const std::string got = in.substr(0, end);
                in.erase(0, end + 1);
                const bool event = got.compare(0, 4, "EVT ") == 0;
                if (event) events += got + "\n";
                if (text.empty() ? !event : event && got.find(text) != std::string::npos)
                    return got;
            }
            pollfd p{fd, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = ::poll(&p, 1, 200) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
            if (n == 0 || std::chrono::steady_clock::now() > until) return "";
            if (n > 0) in.append(buffer, static_cast<size_t>(n));
        }
    }
    std::string ask(const std::string& command) {
        send(command + "\n");
        return next();
    }
    // Until each text has come in an EVT line after the last ones awaited.
    size_t cursor = 0;
    bool await(const std::vector<std::string>& texts) {
        size_t last = cursor;
        for (const std::string& text : texts) {
            size_t at;
            while ((at = events.find(text, cursor)) == std::string::npos)
                if (next(text).empty()) return false;
            last = std::max(last, at + text.size());
        }
        cursor = last;
        return true;
    }
};

uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

class Station : public e2e::NativeOrWine {};

// One verifies, one reports a wrong CRC, one falls silent at the erase, one
// hangs up in the middle of the blocks, the worker of one hangs (the test
// stops it) during the loader's upload: each on the record with its reason,
// where it stopped and what its FLASH holds, its log beside it.
TEST_P(Station, EachPhoneOnTheRecord) {
    std::vector<sim::PhoneConfig> phones(wine() ? 2 : 5, phone());
    phones[1].crcXor = 0x1;
    e2e::Scenario s = station(phones);
    if (!wine()) {
        s.stationPhones[2].silentAt = {{"E", 0}};
        s.stationPhones[3].hangUpAt = {{"block", 1}};
        s.stationPhones[4].paceLine = true;  // an upload long enough to stop it in
        s.keys = {e2e::Key::signal(SIGSTOP, "[E] phone 1: loader")};
        s.keys[0].workerSlot = 4;
    }
    // Logs of an earlier station in the same folder are never written over.
    for (std::time_t t = std::time(nullptr), end = t + 20; t < end; ++t) {
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&t));
        s.files[std::string("logs/A-") + stamp + "-1.log"] = "an earlier phone";
    }
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 2) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    ASSERT_EQ(journal.size(), phones.size()) << r.files.at("journal.json");
    const std::string& image = s.files["a.bin"];
    const sim::Sums sums =
        sim::computeSums(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    // clang-format off
    const struct {
        const char* result;
        const char* reason;
        const char* verdict;
        const char* log;  // the classic text its log ends with
        Json exitStatus;  // null: ended by the supervisor
        bool loaderRan;
        const char* stage;
        int blocksSent;  // -1: its FLASH was not touched
        const char* cause = "";
    } fates[] = {
        {"verified", "", "verified", "FLASH DOWNLOAD SUCCESSFUL", 0, true, "end", -1},
        {"failed", "a.bin: CRC mismatch", "crc mismatch", "CRC mismatch", 2, true, "end", -1},
        {"failed", "ERROR 3: Timeout waiting for response from mobile", "not written", "ERROR 3", 1,
         true, "image", 0},
        {"failed", "ERROR 3: Timeout waiting for response from mobile", "not written", "ERROR 3", 1,
         true, "image", 2, "the serial device disappeared"},
        {"failed", "no word from the worker for 15 s in stage loader-upload", "not written",
         "Sending start transfer command", Json(), false, "loader-upload", -1},
    };
    // clang-format on
    for (size_t i = 0; i < phones.size(); ++i) {
        const std::string slot(1, static_cast<char>('A' + i));
        SCOPED_TRACE(slot);
        const Json& record = journal.at(slot + "1");
        EXPECT_EQ(record["schema"], 1);
        EXPECT_EQ(record["result"], fates[i].result);
        EXPECT_EQ(record["reason"], fates[i].reason);
        EXPECT_EQ(record["exit_status"], fates[i].exitStatus);
        EXPECT_EQ(record["stage"], fates[i].stage);
        EXPECT_EQ(record["cause"], fates[i].cause);
        const int sent = fates[i].blocksSent;  // "a.bin: 2 of 3 blocks sent; its FLASH at ..."
        EXPECT_EQ(
            record["flash"].get<std::string>().rfind("a.bin: " + std::to_string(sent) + " of 3", 0),
            sent >= 0 ? 0 : std::string::npos);
        EXPECT_EQ(record["irom_identity"], 11);
        const bool ran = fates[i].loaderRan;
        EXPECT_EQ(record["loader"], ran ? Json::array({"FLASH LOADER V2.04"}) : Json::array());
        EXPECT_EQ(record["speed"], ran ? 115200 : 0);
        EXPECT_LT(record["start"].get<std::string>(), record["end"].get<std::string>());
        EXPECT_GT(record["seconds"].get<double>(), 0.5);
        // Who made it: the same station for every phone.
        EXPECT_EQ(record["station"], journal.at("A1")["station"]);
        for (const char* field : {"loader_sha256", "host", "version", "loader_file"})
            EXPECT_FALSE(record[field].get<std::string>().empty()) << field;
        const Json& written = record["images"].at(0);
        EXPECT_EQ(written["file"], "a.bin");
        EXPECT_EQ(written["address"], 0x400000);
        EXPECT_EQ(written["size"], image.size());
        EXPECT_EQ(written["checksum"], sums.checksum);
        EXPECT_EQ(written["crc"], sums.crc);
        EXPECT_EQ(written["verdict"], fates[i].verdict);
        const auto& reported = r.stationServers[i]->reports().at(0).images;
        if (i < 2) {
            ASSERT_FALSE(reported.empty());
            EXPECT_EQ(written["phone_checksum"], reported[0].reported->checksum);
            EXPECT_EQ(written["phone_crc"], reported[0].reported->crc);
        } else {
            EXPECT_TRUE(written["phone_crc"].is_null());
        }
        // Its log: a header line, then the worker's console; named in the record.
        std::string name = record["log"].get<std::string>();
        std::replace(name.begin(), name.end(), '\\', '/');  // Windows' separators
        ASSERT_EQ(r.files.count(name), 1u) << name;
        std::string log = r.files.at(name);
        log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());  // Windows text
        const size_t body = log.find('\n') + 1;
        EXPECT_NE(log.substr(0, body).find(", slot " + slot + " ("), std::string::npos) << log;
        EXPECT_EQ(log.find(std::string(79, '-') + "\nTALVIREN GSM FLASH DOWNLOAD\n"), body);
        EXPECT_NE(log.find(fates[i].log), std::string::npos) << log;
        // A note after a whole line of output, on the next line (no empty one).
        const std::string cause = fates[i].cause;
        EXPECT_TRUE(cause.empty() || log.find("-\n" + cause) != std::string::npos) << log;
        EXPECT_NE(r.output.find("[" + slot + "] phone 1: " +
                                (i == 0 ? std::string("verified in ")
                                        : std::string("FAILED: ") + fates[i].reason)),
                  std::string::npos)
            << r.output;
    }
    EXPECT_EQ(std::count_if(r.files.begin(), r.files.end(),
                            [](const auto& file) { return file.second == "an earlier phone"; }),
              20);
    // What the verified phone holds is the image.
    const auto held = r.stationServers[0]->flash().read(0x400000, image.size());
    EXPECT_EQ(std::string(held.begin(), held.end()), image);
}

// Phone after phone on each slot, from a station in the background (as a
// script's & starts it) whose program file is replaced after the first
// phone: the workers run the program that started, hold no descriptor but
// their own, and the line stays as it was typed.
TEST(StationNative, PhoneAfterPhoneFromTheBackground) {
    e2e::Scenario s = station({phone(), phone()});
    s.stationRuns = 2;
    s.args.push_back("--repeat=2");
    s.background = true;
    s.toolCopy = true;
    std::vector<std::string> descriptors;
    std::string line;
    e2e::Key upgrade(0, "[A] phone 1: verified");
    upgrade.action = [](int, const std::string& dir) {
        std::ofstream(dir + "/new") << "#!/bin/sh\nexit 99\n";
        std::filesystem::permissions(dir + "/new", std::filesystem::perms::owner_all);
        std::filesystem::rename(dir + "/new", dir + "/download");
    };
    e2e::Key look(0, "phone 2: boot ROM");
    look.action = [&](int tool, const std::string&) {
        line = readFile("/proc/" + std::to_string(tool) + "/cmdline");
        for (const int worker : e2e::childProcesses(tool)) {
            const std::string proc = "/proc/" + std::to_string(worker);
            if (readFile(proc + "/cmdline").find("--events=") == std::string::npos) continue;
            std::string fds;
            for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd"))
                fds += fd.path().filename().string() + "=" +
                       std::filesystem::read_symlink(fd.path()).string() + " ";
            descriptors.push_back(fds);
        }
    };
    s.keys = {upgrade, look};
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 0) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    for (const char* which : {"A1", "A2", "B1", "B2"})
        EXPECT_EQ(result(journal, which), "verified") << which;
    EXPECT_NE(line.find(",B="), std::string::npos) << line;  // not cut where it was read
    // Its events (as 3 and as it opened them), then what it opened itself:
    // its port, its loader, an image; nothing of the station's.
    ASSERT_FALSE(descriptors.empty());
    const std::regex own(R"(0=/dev/null 1=\S+log 2=\S+log 3=(pipe:\S+) (4=\1 )?)"
                         R"((\d+=(/dev/pts/\d+|\S+/rb7.s37|\S+/a.bin) )*)");
    for (const std::string& fds : descriptors)
        EXPECT_TRUE(std::regex_match(fds, own)) << fds;
}

// q stops a slot that waits for a phone at once and lets a phone being
// flashed finish; Ctrl-C, a termination request (also to a station that
// started with Ctrl-C ignored), and Ctrl-C after q stop every phone now,
// each port released and each record interrupted by the worker's own way
// out, named by what stopped it. A closed standard output loses nothing.
TEST_P(Station, ItsStops) {
    e2e::Key closed(0, "[A] phone 1: image 1/1");
    closed.closeOutput = true;
    // Windows: the console window closed (a thread of the station runs its
    // handlers with CTRL_CLOSE_EVENT, as the system does).
    e2e::Key window(0, "[B] phone 1: image 1/1", 800);
    window.action = [](int, const std::string&) {
        const ProcessOptions options{"", "", true, 60, wineEnvironment(), false};
        EXPECT_EQ(runProcess(wineCommand(CONSOLE_CLOSE_EXE, {}), options).exitStatus, 0);
    };
    // clang-format off
    const struct {
        const char* what;
        std::vector<e2e::Key> keys;
        std::vector<int> ignored;
        int exitStatus;
        std::vector<std::string> results;  // by slot; "" no record
        const char* reason;                // of the interrupted
        const char* said;
        int where;  // 1 native, 2 Wine, 3 both
    } stops[] = {
        {"q", {{'q', "[A] phone 1: image 1/1", 800}}, {}, 0, {"verified", ""}, "",
         "stopping: no new phones; 1 phone being flashed finishes", 3},
        {"Ctrl-C", {{'\x03', "image 1/1", 800}}, {}, 130, {"interrupted", "interrupted"}, "Ctrl-C",
         "stopping now (Ctrl-C): 2 phones interrupted", 3},
        {"SIGTERM", {e2e::Key::signal(SIGTERM, "[B] phone 1: image 1/1", 800)}, {SIGINT}, 130,
         {"interrupted", "interrupted"}, "SIGTERM", "stopping now (SIGTERM)", 1},
        {"q, then Ctrl-C", {{'q', "[A] phone 1: image 1/1", 300}, {'\x03', "stopping:", 500}}, {},
         130, {"interrupted", ""}, "Ctrl-C", "stopping now (Ctrl-C): 1 phone interrupted", 1},
        {"a closed output, then Ctrl-C", {closed, e2e::Key::signal(SIGINT, "", 800)}, {}, 130,
         {"interrupted", "interrupted"}, "Ctrl-C", "", 1},
        {"the console closed", {window}, {}, 130, {"interrupted", "interrupted"},
         "the console closed", "stopping now (the console closed): 2 phones interrupted", 2},
    };
    // clang-format on
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.what);
        if ((stop.where & (wine() ? 2 : 1)) == 0) continue;
        std::vector<sim::PhoneConfig> phones = {phone(), phone()};
        for (sim::PhoneConfig& p : phones)
            p.paceLine = true;
        phones[1].enq = stop.results[1] != "";  // else a slot still waiting for its phone
        e2e::Scenario s = station(phones);
        s.files["a.bin"] = e2e::crcImage(70000);
        s.keys = stop.keys;
        s.ignoredSignals = stop.ignored;
        // Wine's console loses the byte; Wine hands SIGINT on as Ctrl-C.
        if (stop.keys[0].key == '\x03' && wine()) {
            s.keys[0] = e2e::Key::signal(SIGINT, s.keys[0].after, 800);
        } else if (stop.keys[0].key == '\x03') {
            // The table drawn in place, in colour (NO_COLOR empty keeps it).
            s.outputOnConsole = true;
            s.environment = {"NO_COLOR="};
        }
        const e2e::Result rs = run(s);
        ASSERT_FALSE(rs.timedOut) << rs.output;
        EXPECT_EQ(rs.exitStatus, stop.exitStatus) << rs.output << rs.errors;
        const auto got = records(rs.files.at("journal.json"));
        for (size_t i = 0; i < 2; ++i) {
            const std::string which = std::string(1, static_cast<char>('A' + i)) + "1";
            EXPECT_EQ(result(got, which), stop.results[i]) << which;
            if (stop.results[i] == "interrupted") {
                EXPECT_EQ(got.at(which)["exit_status"], 130) << which;  // not ended by the kill
                EXPECT_EQ(got.at(which)["reason"], stop.reason) << which;
                // What its FLASH holds, on a line of its own after the glyphs.
                std::string log = got.at(which)["log"];
                std::replace(log.begin(), log.end(), '\\', '/');
                EXPECT_NE(rs.files.at(log).find("\na.bin: "), std::string::npos)
                    << rs.files.at(log);
            }
            EXPECT_TRUE(rs.stationPortsFree[i]) << which;
        }
        EXPECT_NE(rs.output.find(stop.said), std::string::npos) << rs.output;
        EXPECT_EQ(rs.output.find("[B] stopped") != std::string::npos, stop.results[1] == "");
        if (s.outputOnConsole) {
            EXPECT_NE(rs.output.find("\x1b[33m"), std::string::npos);  // interrupted, in yellow
            const std::string shown =
                std::regex_replace(rs.output, std::regex("\x1b\\[[0-9;]*[A-Za-z]|\r"), "");
            EXPECT_FALSE(std::regex_search(shown, std::regex("[^\n]{80}"))) << shown;  // no wrap
        }
    }
}

// A job made once and run on a line: a slot whose phones all fail (a bad
// cable) is quarantined after 3 of them, rings the bell and takes phones again
// after r; every record names the job; the statistics over the journal (with
// a torn line) show the slot that stands out.
TEST_P(Station, AJobOnALine) {
    e2e::Scenario s = station({phone(), phone()});
    s.stationPhones[1].crcXor = 0x1;
    s.stationRuns = 4;
    TempDir maker;
    for (const char* file : {"a.bin", "rb7.s37"})
        maker.write(file, s.files[file]);
    ProcessOptions options;
    options.workingDirectory = maker.path();
    options.separateErrors = true;
    const auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), e2e::nativeExe());
        if (wine()) args = wineCommand(e2e::windowsExe(), {args.begin() + 1, args.end()});
        options.environment = wine() ? wineEnvironment() : std::vector<std::string>{};
        return runProcess(args, options);
    };
    ASSERT_EQ(tool({"--make-job=line.job", "a.bin", "/l"}).exitStatus, 0);
    s.files["line.job"] = readFile(maker.file("line.job"));
    uint8_t bytes[kSha256Size];
    Sha256* sha = sha256_begin();
    sha256_update(sha, s.files["line.job"].data(), s.files["line.job"].size());
    ASSERT_TRUE(sha256_finish(sha, bytes));
    std::string digest;
    for (const uint8_t byte : bytes)
        digest +=
            std::string("0123456789abcdef").substr(byte >> 4, 1) + "0123456789abcdef"[byte & 15];
    s.args = {
        "--job=line.job", "--repeat=4", "--bell=all", "--journal=journal.json",
        // Each record to a script; its failure a note, never the phone's.
        wine() ? "--on-result=echo %DOWNLOAD_SLOT%%DOWNLOAD_PHONE% "
                 "%DOWNLOAD_RESULT%>>results-%DOWNLOAD_SLOT%.txt& if not "
                 "%DOWNLOAD_RESULT%==verified exit 3"
               : "--on-result=echo \"$DOWNLOAD_SLOT$DOWNLOAD_PHONE $DOWNLOAD_RESULT\" "
                 ">>results-$DOWNLOAD_SLOT.txt; printf '%s\\n' \"$DOWNLOAD_RECORD\" >>records.txt; "
                 "[ $DOWNLOAD_RESULT = verified ] || exit 3"};
    // A file a slot: Windows' appends from two commands at once collide.
    s.readBack = {"journal.json", "results-A.txt", "results-B.txt", "records.txt"};
    s.keys = {{'r', "QUARANTINED after 3 failures in a row: a.bin: CRC mismatch"}};
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 2) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    for (const char* which : {"A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4"}) {
        EXPECT_EQ(result(journal, which), which[0] == 'A' ? "verified" : "failed") << which;
        EXPECT_EQ(journal.at(which)["job"], Json({{"name", "line"}, {"sha256", digest}}));
    }
    for (const std::string& text :
         {"job line (" + digest.substr(0, 12) + ")", std::string("[B] phone 3: QUARANTINED"),
          std::string("1 slot released"), std::string("all: 4 verified, 4 failed in ")})
        EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
    const auto sortedLines = [](const std::string& text) {
        std::vector<std::string> lines;
        std::stringstream in(std::regex_replace(text, std::regex("\r"), ""));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    EXPECT_EQ(sortedLines(r.files.at("results-A.txt") + r.files.at("results-B.txt")),
              std::vector<std::string>({"A1 verified", "A2 verified", "A3 verified", "A4 verified",
                                        "B1 failed", "B2 failed", "B3 failed", "B4 failed"}));
    if (!wine()) {
        EXPECT_EQ(sortedLines(r.files.at("records.txt")), sortedLines(r.files.at("journal.json")));
    }
    EXPECT_NE(r.output.find("--on-result for B phone 4 ended with exit status 3"),
              std::string::npos);
    // Once a phone, three times at the quarantine.
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\a'), 4 + 1 + 1 + 3 + 1);
    maker.write("journal.json", r.files.at("journal.json") + R"({"schema":1,"slot":"A","pho)");
    const ProcessResult stats =
        tool({"--stats=journal.json", "--stats=missing.json", "--stats-format=csv"});
    EXPECT_EQ(stats.exitStatus, 0);
    EXPECT_NE(stats.errors.find("journal.json: 1 line skipped (torn, or not a phone's record)"),
              std::string::npos)
        << stats.errors;
    EXPECT_TRUE(std::regex_match(
        stats.output, std::regex("key,phones,verified,failed,yield,median_seconds,top_reason\r?\n"
                                 "A,4,4,0,100.0,[0-9]+\\.[0-9],\r?\n"
                                 "B,4,0,4,0.0,,a.bin: CRC mismatch\r?\n"
                                 "all,8,4,4,50.0,[0-9]+\\.[0-9],a.bin: CRC mismatch\r?\n")))
        << stats.output;
}

// A fixture labels, pauses, aborts and releases through the control port
// while the factory's system subscribes; what clients send wrong is answered
// (a wrong token, a 9th client, a 5 KiB line, binary bytes, a client that
// never reads) and touches no phone.
TEST_P(Station, DrivenThroughItsControlPort) {
    e2e::Scenario s = station({phone(), phone()});
    for (sim::PhoneConfig& p : s.stationPhones)
        p.paceLine = true;
    s.stationPhones[1].crcXor = 0x1;
    s.stationRuns = 3;
    s.files["a.bin"] = e2e::crcImage(70000);
    s.files["token.txt"] = "s3cret\r\n";
    const uint16_t port = freePort();
    const uint16_t page = freePort();
    s.args = {"a.bin",
              "/l",
              "--repeat",
              "--quarantine=1",
              "--journal=journal.json",
              "--control-token=token.txt",
              "--control=localhost:" + std::to_string(port),
              "--status-page=127.0.0.1:" + std::to_string(page)};
    std::thread fixture;
    std::string events;
    e2e::Key start(0, "");
    start.action = [&](int, const std::string&) {
        fixture = std::thread([&] {
            ControlClient wrong(port);
            EXPECT_EQ(wrong.ask("HELLO"), "ERR auth AUTH with the station's token first");
            EXPECT_EQ(wrong.next(), "");  // closed
            ControlClient c(port);
            std::vector<std::unique_ptr<ControlClient>> more;
            for (size_t i = 0; i < 8; ++i) {
                more.push_back(std::make_unique<ControlClient>(port));
                EXPECT_EQ(more.back()->ask(i < 7 ? "AUTH s3cret" : "STATUS"),
                          i < 7 ? "OK" : "ERR busy 8 clients are connected");
            }
            more.clear();
            ControlClient longer(port);
            longer.send("AUTH s3cret\n" + std::string(5000, 'x') + "\nHELLO\n");
            EXPECT_EQ(longer.next(), "OK");
            EXPECT_EQ(longer.next(), "ERR too-long a line over 4096 bytes");
            EXPECT_EQ(longer.next(), "");
            EXPECT_EQ(c.ask("AUTH s3cret"), "OK");
            EXPECT_EQ(c.ask(std::string("\x01\xff\0z", 4)),
                      "ERR syntax a command is printable text");
            ControlClient deaf(port);
            deaf.send("AUTH s3cret\nSUBSCRIBE\n");
            std::string flood;
            for (int i = 0; i < 1000; ++i)
                flood += "STATUS\n";
            for (int i = 0; i < 40; ++i)
                deaf.send(flood);
            EXPECT_TRUE(std::regex_match(c.ask("hello"),
                                         std::regex(R"(OK \{"version":.*"slots":\["A","B"\]\})")));
            EXPECT_EQ(c.ask("SUBSCRIBE"), "OK");
            EXPECT_EQ(c.ask("LABEL A IMEI 35-209900-176148-1"), "OK");
            EXPECT_TRUE(c.await({R"({"event":"quarantine","slot":"B")"}));
            EXPECT_EQ(c.ask("RELEASE B"), "OK");
            EXPECT_TRUE(c.await({R"("slot":"A","state":"image 1/1","phone":2)",
                                 R"("slot":"B","state":"image 1/1","phone":2)"}))
                << c.events;
            EXPECT_EQ(c.ask("ABORT A"), "OK");
            EXPECT_EQ(c.ask("PAUSE A"), "OK");
            EXPECT_TRUE(
                c.await({R"("result":"interrupted")", R"({"event":"quarantine","slot":"B")"}));
            const std::string reply = c.ask("STATUS");
            const Json status =
                Json::parse(reply.substr(std::min<size_t>(3, reply.size())), nullptr, false);
            EXPECT_EQ(status.is_object() ? status["slots"][0]["paused"] : Json(), true) << reply;
            EXPECT_EQ(status.is_object() ? status["slots"][1]["quarantined"] : Json(), true);
            // The page's status is STATUS's, for the token only.
            for (const char* token : {"", "Authorization: Bearer s3cret\r\n"}) {
                ControlClient http(page);
                http.send(std::string("GET /status.json HTTP/1.0\r\nConnection: close\r\n") +
                          token + "\r\n");
                const timeval wait{10, 0};
                ::setsockopt(http.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
                char part[4096];
                for (ssize_t n; (n = ::recv(http.fd, part, sizeof part, 0)) > 0;)
                    http.in.append(part, static_cast<size_t>(n));
                EXPECT_NE(http.in.find(*token ? "HTTP/1.1 200" : "HTTP/1.1 401"),
                          std::string::npos);
                EXPECT_EQ(http.in.find(R"("paused":true,"quarantined":false)") != std::string::npos,
                          *token != 0)
                    << http.in;
            }
            EXPECT_EQ(c.ask("RESUME A"), "OK");
            EXPECT_EQ(c.ask("resume a"), "ERR state slot A is not paused");
            EXPECT_EQ(c.ask("RELEASE A"), "ERR state slot A is not quarantined");
            EXPECT_EQ(c.ask("ABORT Z"), "ERR unknown-slot no slot 'Z'");
            EXPECT_EQ(c.ask("STOP"), "OK");
            EXPECT_TRUE(c.await({R"({"event":"end","exit_status":2})"}));
            events = c.events;
        });
    };
    s.keys = {start};
    const e2e::Result r = run(s);
    if (fixture.joinable()) fixture.join();
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 2) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    EXPECT_EQ(result(journal, "A1") + result(journal, "A2") + result(journal, "B1") +
                  result(journal, "B2"),
              "verifiedinterruptedfailedfailed");
    EXPECT_EQ(journal.at("A1")["label"], "IMEI 35-209900-176148-1");
    EXPECT_EQ(journal.at("A2")["reason"], "ABORT from the control port");
    EXPECT_EQ(journal.at("B2")["label"], nullptr);
    // Every record as the journal has it, as it happened.
    std::stringstream lines(r.files.at("journal.json"));
    for (std::string line; std::getline(lines, line);)
        EXPECT_NE(events.find("EVT {\"event\":\"record\",\"record\":" + line + "}"),
                  std::string::npos)
            << line;
    for (const char* said : {"refused: 8 clients are connected",
                             "disconnected: it did not read its events (over 1 MiB waiting)",
                             "[A] phone 1 [IMEI 35-209900-176148-1]: verified", "B released"})
        EXPECT_NE(r.output.find(said), std::string::npos) << said << "\n" << r.output;
}

NATIVE_AND_WINE(Station);

// Phone after phone, a slot whose adapter is pulled during a phone (its
// terminal disappears) waits for it and takes the next phone as soon as it
// is plugged back: another terminal under the same name (a by-path link).
TEST(StationNative, AnAdapterPulledAndPluggedBack) {
    e2e::Scenario s = station({phone()});
    s.stationPhones[0].hangUpAt = {{"block", 1}};
    s.args.push_back("--repeat=2");
    s.stationDevice = [](const std::string& device, const std::string& dir) {
        std::filesystem::create_symlink(device, dir + "/by-path-A");
        return dir + "/by-path-A";
    };
    e2e::Key plug(0, "[A] no adapter", 1500);
    plug.action = [](int, const std::string& dir) {
        const std::string phone = std::string("'") + PHONESIM_EXE + "' --link '" + dir +
                                  "/by-path-A' --runs 1 --timeout 60 --enq-interval 20 "
                                  ">/dev/null 2>&1 &";
        EXPECT_EQ(std::system(phone.c_str()), 0);
    };
    s.keys = {plug};
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 2) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    EXPECT_EQ(result(journal, "A1"), "failed");
    EXPECT_EQ(result(journal, "A2"), "verified");
    EXPECT_TRUE(journal.at("A2")["adapter"].is_null());  // a terminal, no USB adapter
    EXPECT_NE(r.output.find("[A] no adapter"), std::string::npos) << r.output;
}

// The station takes no more phones by itself, says why and ends with a
// status that is not 0, once the phones being flashed have finished: an
// image replaced between two phones (the next phone is refused before its
// FLASH is erased), a record that cannot be written (the journal's torn last
// line is ended, the failed record cut back: every line stays whole).
TEST(StationNative, WhatItCheckedOrKeepsFailsItStops) {
    // Longer than a phone's log: the limit on the file size is the journal's.
    const std::string earlier =
        "{\"pad\":\"" + std::string(10000, 'x') + "\"}\n{\"schema\":1,\"slot\":\"X\",\"pho";
    // Other bytes of the same size, written in place.
    const auto replace = [](const char* file) {
        e2e::Key key(0, "[A] phone 1: verified");
        key.action = [file](int, const std::string& dir) {
            const auto size = std::filesystem::file_size(dir + "/" + file);
            std::ofstream(dir + "/" + file, std::ios::in | std::ios::out) << std::string(size, 'x');
        };
        return key;
    };
    // clang-format off
    const struct {
        const char* what;
        std::vector<e2e::Key> keys;
        uint64_t fileSizeLimit;
        std::vector<std::string> results;  // A1, A2
        std::string said;
        std::string journal;  // as it is after the run; "" not checked
    } halts[] = {
        {"an image replaced", {replace("a.bin")}, 0, {"verified", "failed"},
         "a.bin is not the file the station checked: no new phones", ""},
        {"the loader replaced", {replace("rb7.s37")}, 0, {"verified", "failed"},
         "rb7.s37 is not the file the station checked: no new phones", ""},
        {"a record not written", {}, earlier.size() + 20, {"", ""},
         "journal.json: the record of A phone 1 could not be written", earlier + "\n"},
    };
    // clang-format on
    for (const auto& halt : halts) {
        SCOPED_TRACE(halt.what);
        e2e::Scenario s = station({phone()});
        s.stationRuns = 2;
        s.args.push_back("--repeat=2");
        s.files["journal.json"] = earlier;
        s.keys = halt.keys;
        s.fileSizeLimit = halt.fileSizeLimit;
        const e2e::Result r = e2e::run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 1) << r.output << r.errors;
        EXPECT_NE(r.errors.find(halt.said), std::string::npos) << r.errors;
        const std::string& text = r.files.at("journal.json");
        ASSERT_EQ(text.rfind(earlier + "\n", 0), 0u) << text;
        const auto journal = records(text.substr(earlier.size() + 1));
        EXPECT_EQ(result(journal, "A1"), halt.results[0]);
        EXPECT_EQ(result(journal, "A2"), halt.results[1]);
        if (!halt.journal.empty()) {
            EXPECT_EQ(text, halt.journal);
        }
        if (halt.results[1] == "failed") {
            const std::string reason = journal.at("A2")["reason"];
            EXPECT_NE(reason.find(" not the file the station checked (SHA-256 "), std::string::npos)
                << reason;
            EXPECT_TRUE(r.stationServers[0]->reports().at(1).images.empty());  // never erased
        }
    }
}

}  // namespace
