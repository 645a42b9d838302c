// phonesim's command line, its report file and exit status, and the names of
// triggers and byte faults.
#include <gtest/gtest.h>

#include "sim/options.h"

namespace {

TEST(Config, Triggers) {
    struct Case {
        const char* text;
        bool valid;
        const char* command;
        uint32_t occurrence;
    };
    const Case cases[] = {
        {"E", true, "E", 0},
        {"block:5", true, "block", 5},
        {"AT**3:1", true, "AT**3", 1},
        {"srec:0", true, "srec", 0},
        {"X", false, "", 0},
        {"block:", false, "", 0},
        {"block:-1", false, "", 0},
        {"block:1:2", false, "", 0},
        {"", false, "", 0},
        {"block:99999999999", false, "", 0},
    };
    for (const auto& c : cases) {
        const auto trigger = sim::parseTrigger(c.text);
        ASSERT_EQ(trigger.has_value(), c.valid) << c.text;
        if (!trigger) continue;
        EXPECT_EQ(trigger->command, c.command);
        EXPECT_EQ(trigger->occurrence, c.occurrence);
        EXPECT_EQ(sim::parseTrigger(sim::formatTrigger(*trigger)), trigger);
    }
}

TEST(Config, ByteFaults) {
    const char* valid[] = {"drop:in:blocks:5000", "corrupt:out:loader:0", "drop:in:srec:12"};
    for (const char* text : valid) {
        const auto fault = sim::parseByteFault(text);
        ASSERT_TRUE(fault.has_value()) << text;
        EXPECT_EQ(sim::formatByteFault(*fault), text);
    }
    for (const char* text : {"drop:in:blocks", "lose:in:blocks:1", "drop:up:blocks:1",
                             "drop:in:flash:1", "drop:in:blocks:x"})
        EXPECT_FALSE(sim::parseByteFault(text).has_value()) << text;
}

TEST(Config, SwitchesRoundTrip) {
    sim::PhoneConfig config;
    config.enq = false;
    config.enqIntervalMs = 60;
    config.echo = true;
    config.itest = "ITEST=009";
    config.ram = sim::RamVerdict::Need16Bit;
    config.eramStyle = sim::EramStyle::Spaced;
    config.startLines = {"OK", "NEXT"};
    config.loaderRunning = true;
    config.version = "LOADER 9";
    config.speeds = {230400};
    config.speedRefusal = {"SPEED?", "NEXT"};
    config.infoLines = {};
    config.flashDevice = "AMD Am29DL163CB";
    config.eraseMs = 700;
    config.eraseProgressMs = 100;
    config.markerWaitMs = 5;
    config.flashBase = 0x100000;
    config.flashSize = 0x200000;
    config.flashBlank = true;
    config.dongle = true;
    config.dongleAnswer = 0xF4;
    config.dongleSpeed = 38400;
    config.paceLine = true;
    config.replyLatencyUs = 250;
    config.errorAt = {{"V", 0}, {"block", 3}};
    config.silentAt = {{"C", 1}};
    config.hangUpAt = {{"E", 0}};
    config.complainAt = {{"srec", 4}};
    config.noDotAt = {{"srec", 7}};
    config.complaint = "HUH";
    config.checksumXor = 0x10;
    config.crcXor = 0x1;
    config.byteFaults = {{sim::ByteFaultKind::Corrupt, false, sim::Phase::Rom, 3}};
    config.transcriptLimit = 1000;

    sim::PhonesimOptions options;
    std::string error;
    ASSERT_TRUE(sim::parsePhonesimArgs(sim::phoneSwitches(config), &options, &error)) << error;
    // Same switches back: every field made the trip.
    EXPECT_EQ(sim::phoneSwitches(options.server.phone), sim::phoneSwitches(config));
    const auto& p = options.server.phone;
    EXPECT_EQ(p.itest, config.itest);
    EXPECT_EQ(p.ram, config.ram);
    EXPECT_EQ(p.speedRefusal, config.speedRefusal);
    EXPECT_TRUE(p.infoLines.empty());
    EXPECT_EQ(p.dongleAnswer, config.dongleAnswer);
    EXPECT_EQ(p.errorAt, config.errorAt);
    EXPECT_EQ(p.byteFaults, config.byteFaults);
    EXPECT_EQ(p.flashBase, config.flashBase);
    EXPECT_EQ(p.transcriptLimit, config.transcriptLimit);

    sim::PhonesimOptions defaults;
    ASSERT_TRUE(sim::parsePhonesimArgs(sim::phoneSwitches(sim::PhoneConfig{}), &defaults, &error));
    EXPECT_TRUE(sim::phoneSwitches(defaults.server.phone).empty());
    sim::PhoneConfig silentDongle;
    silentDongle.dongleAnswer.reset();
    silentDongle.itest.clear();
    ASSERT_TRUE(sim::parsePhonesimArgs(sim::phoneSwitches(silentDongle), &defaults, &error));
    EXPECT_FALSE(defaults.server.phone.dongleAnswer.has_value());
    EXPECT_TRUE(defaults.server.phone.itest.empty());
}

TEST(Config, BadCommandLines) {
    const std::vector<std::vector<std::string>> lines = {
        {"--runs"},
        {"--runs", "x"},
        {"--ram", "maybe"},
        {"--eram", "tight"},
        {"--error-at", "Q"},
        {"--fault", "drop"},
        {"--speeds", "a,b"},
        {"--dongle-answer", "1FF"},
        {"--what"},
        {"--crc-xor", "10000"},
        {"--block-pattern", "bd"},
        {"--enq-interval", "-5"},
    };
    for (const auto& line : lines) {
        sim::PhonesimOptions options;
        std::string error;
        EXPECT_FALSE(sim::parsePhonesimArgs(line, &options, &error)) << line[0];
        EXPECT_FALSE(error.empty()) << line[0];
    }
}

TEST(Config, UsageNamesEverySwitch) {
    const std::string usage = sim::phonesimUsage();
    for (const char* name : {"--link",
                             "--runs",
                             "--timeout",
                             "--transcript",
                             "--dump",
                             "--report",
                             "--quiet",
                             "--no-enq",
                             "--enq-interval",
                             "--echo",
                             "--itest",
                             "--no-itest",
                             "--ram",
                             "--eram",
                             "--start-line",
                             "--loader-running",
                             "--version",
                             "--speeds",
                             "--speed-refusal",
                             "--info",
                             "--no-info",
                             "--flash-device",
                             "--erase-ms",
                             "--erase-progress-ms",
                             "--marker-wait-ms",
                             "--flash-base",
                             "--flash-size",
                             "--flash-blank",
                             "--dongle",
                             "--dongle-answer",
                             "--dongle-speed",
                             "--pace",
                             "--latency-us",
                             "--error-at",
                             "--silent-at",
                             "--hang-up-at",
                             "--complain-at",
                             "--no-dot-at",
                             "--complaint",
                             "--checksum-xor",
                             "--crc-xor",
                             "--fault",
                             "--transcript-limit",
                             "--write-loader",
                             "--write-crc-image",
                             "--image-size",
                             "--write-block-image",
                             "--block-pattern",
                             "--help"}) {
        EXPECT_NE(usage.find(std::string(name) + " "), std::string::npos) << name;
        // ...and the parser knows it.
        sim::PhonesimOptions options;
        std::string error;
        sim::parsePhonesimArgs({name}, &options, &error);
        EXPECT_EQ(error.find("unknown switch"), std::string::npos) << name;
    }
}

TEST(Config, ReportRoundTripAndExitStatus) {
    sim::RunReport report;
    report.verdict.ended = true;
    report.verdict.violations = {"download without erasing first"};
    report.verdict.notes = {"ERROR at V:0", "download speed 460800"};
    report.loaderLines = {"a", "b", "c"};
    report.loaderBytes = 4096;
    sim::ImageRecord image;
    image.address = 0x400000;
    image.size = 2050;
    image.erased = true;
    image.blocks = 3;
    image.dataBlocks = 1;
    image.blankBlocks = 1;
    image.zeroBlocks = 1;
    image.complete = true;
    image.reported = sim::Sums{0xDEADBEEF, 0xF0B8};
    report.images = {image, sim::ImageRecord{}};
    sim::RunReport back;
    ASSERT_TRUE(sim::parseReport(sim::formatReport(report), &back));
    EXPECT_EQ(sim::formatReport(back), sim::formatReport(report));
    ASSERT_EQ(back.images.size(), 2u);
    EXPECT_EQ(back.images[0].reported->checksum, 0xDEADBEEFu);
    EXPECT_FALSE(back.images[1].reported.has_value());
    EXPECT_FALSE(sim::parseReport("image x\n", &back));
    EXPECT_FALSE(sim::parseReport("whatever\n", &back));

    sim::RunReport clean;
    clean.verdict.ended = true;
    sim::RunReport early;
    sim::RunReport hung;
    hung.verdict.hungUp = true;
    struct Case {
        std::vector<sim::RunReport> runs;
        bool timedOut;
        int status;
    };
    const Case cases[] = {
        {{clean}, false, 0},         {{clean, clean}, false, 0}, {{report}, false, 1},
        {{clean, report}, false, 1}, {{early}, false, 3},        {{}, true, 3},
        {{clean}, true, 3},          {{hung}, false, 4},         {{hung, report}, false, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::exitStatusFor(c.runs, c.timedOut), c.status);
}

}  // namespace
