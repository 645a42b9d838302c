// The event stream of a run, read as a program would: parsed, and every fact
// checked against what the phone saw and what the files hold.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "sim/sums.h"
#include "tests/e2e/harness.h"

namespace {

using Json = nlohmann::json;

std::vector<Json> events(const std::string& text) {
    std::vector<Json> parsed;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        parsed.push_back(Json::parse(text.substr(start, end - start), nullptr, false));
        EXPECT_FALSE(parsed.back().is_discarded()) << text.substr(start, end - start);
        EXPECT_TRUE(parsed.back()["t"].is_number());
    }
    EXPECT_EQ(text.back(), '\n');
    return parsed;
}

// expected with the fields that cannot be known beforehand taken from got.
Json with(Json expected, const Json& got, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        expected[key] = got[key];
    return expected;
}

std::vector<Json> named(const std::vector<Json>& all, const char* event) {
    std::vector<Json> some;
    for (const Json& e : all)
        if (e["event"] == event) some.push_back(e);
    return some;
}

// SHA-256 by coreutils, apart from the tool's way of making it.
std::string sha256sum(const std::string& bytes) {
    const std::string path = testing::TempDir() + "/events-digest.bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    FILE* pipe = ::popen(("sha256sum " + path).c_str(), "r");
    char digest[65] = "";
    EXPECT_EQ(std::fscanf(pipe, "%64s", digest), 1);
    ::pclose(pipe);
    return digest;
}

e2e::Scenario twoImages() {
    e2e::Scenario s = e2e::smallRun();
    s.files["b.bin"] = std::string(2500, 'b');  // no CRC of its own: a question
    s.args = {"a.bin", "b.bin:0x600000", "/l", "/s:460", "--answers=yes", "--events=run.json"};
    s.readBack = {"run.json"};
    s.phone.flashDevice = "AMD Am29DL163CB";
    return s;
}

TEST(Events, ACompleteRunToldWhole) {
    e2e::Scenario s = twoImages();
    s.phone.eraseMs = 2500;  // that says only that it goes on
    s.phone.eraseProgressMs = 300;
    const e2e::Result r = e2e::run(s);
    ASSERT_EQ(r.exitStatus, 0) << r.output << r.errors;
    const std::vector<Json> all = events(r.files.at("run.json"));
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), with(Json::parse(R"({"event":"start","schema":1,"target":"rb7",
        "mode":"wire","speed":460800,"images":2,"job":null,"device":")" +
                                            r.portName + R"("})"),
                                all.front(), {"t", "version"}));
    std::vector<std::string> stages;
    for (const Json& e : named(all, "stage"))
        stages.push_back(e["stage"]);
    EXPECT_EQ(stages, (std::vector<std::string>{"enq-wait", "irom", "loader-upload", "loader",
                                                "image", "image", "end"}));
    EXPECT_EQ(named(all, "phone").back(), with(Json::parse(R"({"event":"phone","irom_identity":11,
        "loader":["FLASH LOADER V2.04"],"flash_device":["MANUFACTURER ID 0x01",
        "DEVICE ID 0x2239","FLASH device: AMD Am29DL163CB"]})"),
                                               named(all, "phone").back(), {"t"}));
    const std::vector<Json> images = named(all, "image");
    const std::vector<Json> verdicts = named(all, "verdict");
    ASSERT_EQ(images.size(), 2u);
    ASSERT_EQ(verdicts.size(), 2u);
    ASSERT_EQ(r.phone.images.size(), 2u);
    const char* files[] = {"a.bin", "b.bin"};
    for (int i = 0; i < 2; ++i) {
        const std::string& bytes = s.files[files[i]];
        const sim::Sums sums =
            sim::computeSums(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(images[i]["index"], i);
        EXPECT_EQ(images[i]["file"], files[i]);
        EXPECT_EQ(images[i]["address"], r.phone.images[i].address);
        EXPECT_EQ(images[i]["size"], bytes.size());
        EXPECT_EQ(images[i]["sha256"], sha256sum(bytes));
        EXPECT_EQ(images[i]["checksum"], sums.checksum);
        EXPECT_EQ(images[i]["crc"], sums.crc);
        EXPECT_EQ(verdicts[i]["result"], "verified");
        EXPECT_EQ(verdicts[i]["phone_checksum"], r.phone.images[i].reported->checksum);
        EXPECT_EQ(verdicts[i]["phone_crc"], r.phone.images[i].reported->crc);
    }
    // The phone heard at most once a second, also through the erase.
    const std::vector<Json> heard = named(all, "heard");
    for (size_t i = 1; i < heard.size(); ++i)
        EXPECT_GE(heard[i]["t"].get<double>() - heard[i - 1]["t"].get<double>(), 0.99);
    EXPECT_LT(heard.at(2)["t"], named(all, "progress").at(0)["t"]);
    // The last progress of each image is its whole size.
    for (const Json& p : named(all, "progress"))
        EXPECT_LE(p["bytes"], p["size"]);
    EXPECT_EQ(named(all, "progress").back()["bytes"], s.files["b.bin"].size());
    ASSERT_EQ(named(all, "question").size(), 2u);  // b.bin's signature, then its CRC
    const Json question = named(all, "question").back();
    EXPECT_EQ(question["text"],
              "CRC indicates that data file may be corrupt. Continue anyway [y/n]");
    EXPECT_EQ(question["answer"], "y");
    EXPECT_EQ(question["by"], "answers");
    EXPECT_EQ(named(all, "note").at(0)["text"], "answered y by --answers");
    const Json& end = all.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["exit_status"], 0);
    EXPECT_EQ(end["result"], "verified");
    EXPECT_EQ(end["reason"], "");
    EXPECT_EQ(end["flash"], "2 of 2 images verified");
}

// A wrong CRC, then an image that is missing: each fact as it happened, and an
// end that says why; and a run ended by SIGTERM still ends its stream.
TEST(Events, FailuresAndASignalAreTold) {
    e2e::Scenario s = twoImages();
    s.args[1] = "missing.bin";
    s.phone.crcXor = 0x10;
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    const std::vector<Json> all = events(r.files.at("run.json"));
    const Json verdict = named(all, "verdict").at(0);
    EXPECT_EQ(verdict["result"], "crc mismatch");
    EXPECT_EQ(verdict["phone_crc"], r.phone.images.at(0).reported->crc);
    EXPECT_EQ(all.back(), with(Json::parse(R"({"event":"end","exit_status":1,"result":"failed",
        "reason":"missing.bin: No such file or directory","flash":"0 of 2 images verified"})"),
                               all.back(), {"t"}));

    e2e::Scenario killed = twoImages();
    killed.files["a.bin"] = e2e::crcImage(70000);
    killed.phone.paceLine = true;
    killed.keys = {e2e::Key::signal(SIGTERM, "FLASH download in progress", 300)};
    const e2e::Result k = e2e::run(killed);
    const Json end = events(k.files.at("run.json")).back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_TRUE(end["exit_status"].is_null());
    EXPECT_EQ(end["result"], "interrupted");
    EXPECT_EQ(end["reason"], "ended by a signal");
    EXPECT_NE(end["flash"].get<std::string>().find("a.bin: "), std::string::npos) << end;
}

}  // namespace
