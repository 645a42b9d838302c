// The wait for the phone's ENQ: answered with 0x7E, other bytes dropped, 'q'
// quits and 'Q' does not, /h and /t:k52 skip it; native and under Wine.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/support/wine.h"

namespace {

const char kWaitText[] = "\nWaiting for ENQ(81) from Mobile\nPress q to Quit\n";

class Enq : public ::testing::TestWithParam<bool> {
protected:
    bool wine() const { return GetParam(); }
    void SetUp() override {
        if (wine()) REQUIRE_WINE(e2e::windowsExe());
    }
    e2e::Result run(const e2e::Scenario& s) { return wine() ? e2e::runWine(s) : e2e::run(s); }

    // A run that stops soon after the first stage begins: the ROM does not
    // answer the first probe, so the tool gives up with ERROR 1.
    static e2e::Scenario scenario(const std::string& loader = "rb7.s37") {
        e2e::Scenario s;
        s.files[loader] = e2e::sampleLoader();
        s.files["a.bin"] = e2e::crcImage(2000);
        s.args = {"a.bin", "/l"};
        s.phone.enqIntervalMs = 50;
        s.phone.silentAt = {{"AT", 0}};
        s.timeoutSeconds = 30;
        return s;
    }
};

TEST_P(Enq, AnsweredAndOtherBytesDropped) {
    e2e::Scenario s = scenario();
    // The first ENQs arrive damaged (0x80): they must be passed over. (The
    // first ones may come before the tool has set its port; those are noise.)
    for (uint64_t i = 0; i < 20; ++i)
        s.phone.byteFaults.push_back({sim::ByteFaultKind::Corrupt, false, sim::Phase::Enq, i});
    // Under Wine the port is named by its number: /35 opens COM35.
    s.portByNumber = true;
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(r.output.find("\nEntering Serial Mode\n\nOpening " + r.portName + "\n"),
              std::string::npos)
        << r.output;
    const size_t wait = r.output.find(kWaitText);
    ASSERT_NE(wait, std::string::npos) << r.output;
    const size_t received = r.output.find("\nCharacter received is 81\nCharacter sent is 7e", wait);
    EXPECT_NE(received, std::string::npos) << r.output;
    EXPECT_EQ(e2e::count(r.output, "Character received is"), 1u) << r.output;
    EXPECT_NE(r.output.find("\nSending AT to mobile\n", received), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ERROR 1: Timeout waiting for mobile to respond"), std::string::npos);

    // On the line: one 0x7E at 38400 while the phone announced itself, and
    // the probe next, at the same speed.
    const auto& t = r.transcript();
    EXPECT_EQ(t.bytes(true, sim::Phase::Enq), "\x7E");
    const std::string sent = t.bytes(false, sim::Phase::Enq);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), '\x81');
    EXPECT_EQ(sent.find('\x81'), sent.size() - 1) << "answered at the first good ENQ";
    EXPECT_NE(sent.find('\x80'), std::string::npos) << "damaged ENQs were heard and dropped";
    for (const auto& chunk : t.chunks()) {
        if (chunk.toPhone && chunk.phase == sim::Phase::Enq) {
            EXPECT_EQ(chunk.speed, 38400u);
        }
    }
    EXPECT_EQ(t.bytes(true, sim::Phase::Rom).substr(0, 3), "AT\r");
}

TEST_P(Enq, LowerCaseQQuits) {
    e2e::Scenario s = scenario();
    s.phone.enq = false;  // the phone never announces itself
    s.keys = {{'q', "Press q to Quit\n", 300}};
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_EQ(r.keysTyped, 1u);
    const size_t wait = r.output.find(kWaitText);
    ASSERT_NE(wait, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(wait), kWaitText) << "nothing after the prompt";
    EXPECT_EQ(r.transcript().bytes(true), "") << "nothing sent to a silent phone";
}

TEST_P(Enq, OtherKeysDoNotQuitAndTheWaitHasNoLimit) {
    e2e::Scenario s = scenario();
    s.phone.enq = false;
    // 'Q', Enter and 'x' are consumed; the wait goes on until 'q'.
    s.keys = {{'Q', "Press q to Quit\n", 200}, {'\r', "", 200}, {'x', "", 200}, {'q', "", 1500}};
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.keysTyped, 4u) << "the tool ended before the 'q'";
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    const size_t wait = r.output.find(kWaitText);
    ASSERT_NE(wait, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(wait), kWaitText);
}

TEST_P(Enq, SkippedWithHOrK52) {
    struct Case {
        std::vector<std::string> args;
        std::string loader;
    };
    const Case cases[] = {
        {{"a.bin", "/l", "/h"}, "rb7.s37"},
        {{"a.bin", "/l", "/t:k52"}, "k52.s37"},
        {{"a.bin", "/H", "/l", "/t:rb7dsp"}, "rb7dsp.s37"},
    };
    for (const auto& c : cases) {
        e2e::Scenario s = scenario(c.loader);
        s.args = c.args;
        const e2e::Result r = run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 1) << r.output;
        EXPECT_EQ(r.output.find("Waiting for ENQ"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("Character"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("\nEntring WIRE Mode\n\nSending AT to mobile\n"), std::string::npos)
            << r.output;
        // The first byte the phone hears is the probe, not 0x7E.
        const std::string heard = r.transcript().bytes(true);
        EXPECT_EQ(heard.substr(0, 3), "AT\r") << c.args.back();
        EXPECT_EQ(heard.find('\x7E'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Native, Enq, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Wine, Enq, ::testing::Values(true));

// The phone as phonesim, a separate process: the same first exchange.
TEST(EnqPhonesim, AnsweredThroughAChildPhone) {
    e2e::Scenario s;
    s.files["rb7.s37"] = e2e::sampleLoader();
    s.files["a.bin"] = e2e::crcImage(2000);
    s.args = {"a.bin", "/l"};
    s.phone.silentAt = {{"AT", 0}};
    s.phoneProcess = true;
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(r.output.find("\nCharacter received is 81\nCharacter sent is 7e"), std::string::npos)
        << r.output;
    ASSERT_TRUE(r.phone.served);
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Enq), "\x7E");
    EXPECT_EQ(r.phone.phonesimStatus, 3) << "the tool ended the run early";
    EXPECT_NE(r.phone.verdict.notes.size(), 0u);
}

}  // namespace
