// A whole run against a well-behaved phone: every stage, every image written
// and verified, the line at the right speed in every phase; native, under
// Wine, and against phonesim as a separate process.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/harness.h"
#include "tests/support/wine.h"

namespace {

enum class Way { Native, Wine, Phonesim };

class CompleteRun : public ::testing::TestWithParam<Way> {
protected:
    void SetUp() override {
        if (GetParam() == Way::Wine) REQUIRE_WINE(e2e::windowsExe());
    }
    e2e::Result run(e2e::Scenario s) {
        s.phoneProcess = GetParam() == Way::Phonesim;
        return GetParam() == Way::Wine ? e2e::runWine(s) : e2e::run(s);
    }
};

TEST_P(CompleteRun, ImagesWrittenAndVerified) {
    e2e::Scenario s;
    s.files["rb7.s37"] = e2e::sampleLoader();
    s.files["one.bin"] = e2e::crcImage(70000);
    s.files["two.bin"] = e2e::blockImage("dbzzbd");
    s.args = {"one.bin", "two.bin:0x600000", "/l", "/s:460", "--trace=trace.txt"};
    s.readBack = {"trace.txt"};
    s.phone.echo = true;
    s.phone.startLines = {"OK", "NEXT"};
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.phoneReport();
    EXPECT_EQ(e2e::count(r.output, "FLASH DOWNLOAD SUCCESSFUL"), 2u) << r.output;
    EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
    EXPECT_EQ(r.flash(0x400000, 70000), s.files["one.bin"]);
    const std::string& two = s.files["two.bin"];
    EXPECT_EQ(r.flash(0x600000, two.size()), two);

    ASSERT_EQ(r.phone.images.size(), 2u);
    EXPECT_EQ(r.phone.images[1].blankBlocks, 2u);
    EXPECT_EQ(r.phone.images[1].zeroBlocks, 2u);
    EXPECT_EQ(r.phone.loaderLines, e2e::count(s.files["rb7.s37"], "\n"));
    // The loader file went over the line unchanged, line by line.
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Srec), s.files["rb7.s37"]);
    EXPECT_NE(r.errors.find("2 of 2 images verified\n"), std::string::npos) << r.errors;

    // The trace: each stage at its speed, the phone's lines, a line per block.
    // The phone's first 0x81 may share its line with a byte garbled while the
    // port was still at its opening speed, so the answer is what is looked for.
    std::string trace = r.files.at("trace.txt");
    trace.erase(std::remove(trace.begin(), trace.end(), '\r'), trace.end());  // Windows text
    for (const char* line :
         {"  ENQ              38400  <- ", "  ENQ              38400  -> 7E ",
          "  IROM             38400  -> 41 54 0D ", "  loader upload   115200  -> 53 ",
          "  loader commands 460800  -> 41 54 0D 0A ",
          "  blocks          460800  -> block 1: 1024 bytes, data\n",
          "  blocks          460800  -> block 2: 1024 bytes, blank\n",
          "  blocks          460800  -> block 3: 1024 bytes, zero\n",
          "  blocks          460800  <- 4F 4B 0D 0A ", "port closed\n"})
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace.substr(0, 3000);

    // Every byte the phone understood came at the speed of its phase.
    for (const auto& chunk : r.transcript().chunks()) {
        if (!chunk.toPhone || chunk.garbled) continue;
        switch (chunk.phase) {
            case sim::Phase::Enq:
            case sim::Phase::Rom:
                EXPECT_EQ(chunk.speed, 38400u);
                break;
            case sim::Phase::Srec:
                EXPECT_EQ(chunk.speed, 115200u);
                break;
            case sim::Phase::Blocks:
                EXPECT_EQ(chunk.speed, 460800u);
                break;
            default:
                break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, CompleteRun,
                         ::testing::Values(Way::Native, Way::Wine, Way::Phonesim),
                         [](const ::testing::TestParamInfo<Way>& info) {
                             return info.param == Way::Native ? "Native"
                                    : info.param == Way::Wine ? "Wine"
                                                              : "Phonesim";
                         });

}  // namespace
