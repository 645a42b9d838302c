// The station against several virtual phones: each phone's fate on its own
// slot, the journal, the logs, the plain lines, phone after phone, q and
// Ctrl-C; and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <nlohmann/json.hpp>

#include "sim/sums.h"
#include "tests/e2e/native_or_wine.h"

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

sim::PhoneConfig phone() {
    sim::PhoneConfig config;
    config.enqIntervalMs = 20;
    return config;
}

e2e::Scenario station(const std::vector<sim::PhoneConfig>& phones, double timeout = 120) {
    e2e::Scenario s = e2e::smallRun(timeout);
    s.stationPhones = phones;
    s.args = {"a.bin", "/l", "--journal=journal.json", "--log-dir=logs"};
    s.readBack = {"journal.json"};
    return s;
}

class Station : public e2e::NativeOrWine {};

// One verifies, one reports a wrong CRC, one falls silent at the erase, one
// hangs up in the middle of the blocks, the worker of one hangs (the test
// stops it) during the loader's upload: each on the record with its reason.
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
    for (size_t i = 0; i < phones.size(); ++i)
        s.readBack.push_back(std::string("logs/") + static_cast<char>('A' + i) + "-1.log");
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 2) << r.output << r.errors;
    const auto journal = records(r.files.at("journal.json"));
    ASSERT_EQ(journal.size(), phones.size()) << r.files.at("journal.json");
    const std::string& image = s.files["a.bin"];
    const sim::Sums sums =
        sim::computeSums(reinterpret_cast<const uint8_t*>(image.data()), image.size());
    const struct {
        const char* result;
        const char* reason;
        const char* verdict;
        const char* log;  // the classic text its log ends with
        Json exitStatus;  // null: ended by the supervisor
        bool loaderRan;
    } fates[] = {
        {"verified", "", "verified", "FLASH DOWNLOAD SUCCESSFUL", 0, true},
        {"failed", "a.bin: CRC mismatch", "crc mismatch", "CRC mismatch", 2, true},
        {"failed", "ERROR 3: Timeout waiting for response from mobile", "not written", "ERROR 3", 1,
         true},
        {"failed", "ERROR 3: Timeout waiting for response from mobile", "not written", "ERROR 3", 1,
         true},
        {"failed", "no word from the worker for 15 s in stage loader-upload", "not written",
         "Sending flash loader to IROM", Json(), false},
    };
    for (size_t i = 0; i < phones.size(); ++i) {
        const std::string slot(1, static_cast<char>('A' + i));
        SCOPED_TRACE(slot);
        const Json& record = journal.at(slot + "1");
        EXPECT_EQ(record["schema"], 1);
        EXPECT_EQ(record["result"], fates[i].result);
        EXPECT_EQ(record["reason"], fates[i].reason);
        EXPECT_EQ(record["exit_status"], fates[i].exitStatus);
        EXPECT_EQ(record["irom_identity"], 11);
        const bool ran = fates[i].loaderRan;
        EXPECT_EQ(record["loader"], ran ? Json::array({"FLASH LOADER V2.04"}) : Json::array());
        EXPECT_EQ(record["speed"], ran ? 115200 : 0);
        EXPECT_LT(record["start"].get<std::string>(), record["end"].get<std::string>());
        EXPECT_GT(record["seconds"].get<double>(), 0.5);
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
        std::string log = r.files.at("logs/" + slot + "-1.log");
        log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());  // Windows text
        EXPECT_EQ(log.rfind(std::string(79, '-') + "\nTALVIREN GSM FLASH DOWNLOAD\n", 0), 0u);
        EXPECT_NE(log.find(fates[i].log), std::string::npos) << log;
        EXPECT_NE(r.output.find("[" + slot + "] phone 1: " +
                                (i == 0 ? std::string("verified in ")
                                        : std::string("FAILED: ") + fates[i].reason)),
                  std::string::npos)
            << r.output;
    }
    // What the verified phone holds is the image.
    const auto held = r.stationServers[0]->flash().read(0x400000, image.size());
    EXPECT_EQ(std::string(held.begin(), held.end()), image);
}

// Phone after phone on each slot; q stops a slot that waits for a phone at
// once and lets a phone being flashed finish; Ctrl-C stops every phone now,
// each port released and each record interrupted by the worker's own way out.
TEST_P(Station, PhoneAfterPhoneAndItsStops) {
    if (!wine()) {
        e2e::Scenario repeat = station({phone(), phone()});
        repeat.stationRuns = 2;
        repeat.args.push_back("--repeat=2");
        const e2e::Result r = e2e::run(repeat);
        EXPECT_EQ(r.exitStatus, 0) << r.output << r.errors;
        const auto journal = records(r.files.at("journal.json"));
        EXPECT_EQ(journal.size(), 4u);
        for (const char* which : {"A1", "A2", "B1", "B2"})
            EXPECT_EQ(journal.count(which) == 1 ? journal.at(which)["result"] : Json(), "verified")
                << which;
    }

    const struct {
        char key;
        int exitStatus;
        std::vector<std::string> results;  // by slot; "" no record
    } stops[] = {{'q', 0, {"verified", ""}}, {'\x03', 130, {"interrupted", "interrupted"}}};
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.key);
        std::vector<sim::PhoneConfig> phones = {phone(), phone()};
        for (sim::PhoneConfig& p : phones)
            p.paceLine = true;
        phones[1].enq = stop.key != 'q';  // a slot still waiting for its phone
        e2e::Scenario s = station(phones);
        s.files["a.bin"] = e2e::crcImage(70000);
        s.keys = {{stop.key, "[A] phone 1: image 1/1", 800}};
        // Wine's console loses the byte; Wine hands SIGINT on as Ctrl-C.
        if (wine() && stop.key == '\x03')
            s.keys[0] = e2e::Key::signal(SIGINT, s.keys[0].after, 800);
        const e2e::Result rs = run(s);
        ASSERT_FALSE(rs.timedOut) << rs.output;
        EXPECT_EQ(rs.exitStatus, stop.exitStatus) << rs.output << rs.errors;
        const auto got = records(rs.files.at("journal.json"));
        for (size_t i = 0; i < 2; ++i) {
            const std::string which = std::string(1, static_cast<char>('A' + i)) + "1";
            EXPECT_EQ(got.count(which) == 1 ? got.at(which)["result"].get<std::string>() : "",
                      stop.results[i])
                << which;
            if (stop.results[i] == "interrupted") {
                EXPECT_EQ(got.at(which)["exit_status"], 130) << which;  // not ended by the kill
            }
            EXPECT_TRUE(rs.stationPortsFree[i]) << which;
        }
        EXPECT_EQ(rs.output.find("[B] stopped") != std::string::npos, stop.key == 'q');
    }
}

NATIVE_AND_WINE(Station);

}  // namespace
