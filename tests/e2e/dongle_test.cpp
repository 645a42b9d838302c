// The infrared dongle in front of the phone: woken and programmed at 9600
// bit/s for 38400 and then 115200, commands paced one character at a time.
#include <gtest/gtest.h>

#include "tests/e2e/native_or_wine.h"

namespace {

const std::string kSetup38400("\x03\x46\x53\x63\x76\xD1\x56\xD0\x85\x90\x11", 11);
const std::string kSetup115200("\x03\x46\x51\x63\x76\xD1\x56\xD0\x81\x90\x11", 11);

class Dongle : public e2e::NativeOrWine {};

TEST_P(Dongle, ACompleteRunThroughTheDongle) {
    e2e::Scenario s;
    s.files["irb7.s37"] = e2e::sampleLoader();
    s.files["a.bin"] = e2e::crcImage(3000);
    // /h does not skip the wait through a dongle.
    s.args = {"a.bin", "/d", "/l", "/h"};
    s.phone.dongle = true;
    s.phone.dongleAnswer = 0xF4;
    s.phone.enqIntervalMs = 20;
    s.timeoutSeconds = 90;
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Open infrared mode flash loader for rb7 ...\n"), std::string::npos);
    EXPECT_NE(r.output.find("\nEntring IR Mode using dongle\n\nWaiting for ENQ(81) from Mobile\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.flash(0x400000, 3000), s.files["a.bin"]);
    EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();

    // The dongle heard the wake-up byte and a set-up sequence at 9600, once
    // for 38400 and once for 115200; a busy machine may make a wake-up take
    // another attempt (its answer later than the 10 ms the tool waits).
    std::string heard = r.transcript().bytes(true, sim::Phase::Dongle);
    for (const std::string& setup : {kSetup38400, kSetup115200}) {
        const size_t attempts = heard.find_first_not_of('\xF0');
        EXPECT_TRUE(attempts >= 1 && attempts <= 10 && heard.compare(attempts, 11, setup) == 0)
            << heard.size();
        heard.erase(0, attempts == std::string::npos ? heard.size() : attempts + 11);
    }
    EXPECT_EQ(heard, "");
    for (const auto& chunk : r.transcript().chunks()) {
        if (chunk.toPhone && chunk.phase == sim::Phase::Dongle) {
            EXPECT_EQ(chunk.speed, 9600u);
        }
    }
    // Commands go out one character every 40 ms (a wire command is one
    // block): the boot ROM's commands take well over 30 ms a character, with
    // room for a late look by a busy phone.
    const auto& chunks = r.transcript().chunks();
    const sim::TranscriptChunk* first = nullptr;
    const sim::TranscriptChunk* last = nullptr;
    size_t romBytes = 0;
    for (const auto& chunk : chunks) {
        if (!chunk.toPhone || chunk.phase != sim::Phase::Rom) continue;
        if (first == nullptr) first = &chunk;
        last = &chunk;
        romBytes += chunk.bytes.size();
    }
    ASSERT_NE(first, nullptr);
    EXPECT_GE(last->time - first->time, (romBytes - last->bytes.size()) * 30000u);
}

NATIVE_AND_WINE(Dongle);

TEST(DongleFailure, ADongleThatNeverAnswers) {
    e2e::Scenario s;
    s.files["irb7.s37"] = e2e::sampleLoader();
    s.files["a.bin"] = e2e::crcImage(3000);
    s.args = {"a.bin", "/d", "/l"};
    s.phone.dongle = true;
    s.phone.dongleAnswer = std::nullopt;
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - 32), "Failed to program the IR Dongle\n");
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Dongle), std::string(10, '\xF0'));
}

}  // namespace
