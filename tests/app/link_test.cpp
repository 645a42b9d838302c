#include "app/link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_test_support.h"

namespace {

using Link = StageTest;

const std::vector<std::string> kAttempt = {"dtr 1", "rts 1", "rts 0",   "break 50",
                                           "rts 1", "dtr 0", "write F0"};

TEST_F(Link, WireModeOnlySetsTheLine) {
    runConfig.linkMode = LinkWire;
    EXPECT_TRUE(setUpLink(&fake.port, 115200, 'N', 8, 1, runConfig));
    EXPECT_EQ(fake.events, std::vector<std::string>{"line 115200"});
    EXPECT_TRUE(fake.tx.empty());
}

TEST_F(Link, SetLineFailureIsReported) {
    fake.port.status = PORT_BAD_PARITY;
    startCapture();
    EXPECT_FALSE(setUpLink(&fake.port, 38400, 'X', 8, 1, runConfig));
    EXPECT_EQ(captured(), "Failed to set the port: Status = -26\nTips: Check port parameters.\n");
}

TEST_F(Link, DongleProgrammingPerSpeed) {
    const struct {
        int32_t speed;
        std::vector<std::string> sequence;
    } cases[] = {
        {9600, {"03", "46", "53", "63", "76", "D1", "56", "D0", "87", "91", "11"}},
        {19200, {"03", "46", "53", "63", "76", "D1", "56", "D0", "8B", "90", "11"}},
        {38400, {"03", "46", "53", "63", "76", "D1", "56", "D0", "85", "90", "11"}},
        {57600, {"03", "46", "53", "63", "76", "D1", "56", "D0", "82", "90", "11"}},
        {115200, {"03", "46", "51", "63", "76", "D1", "56", "D0", "81", "90", "11"}},
    };
    runConfig.linkMode = LinkDongle;
    for (const auto& tc : cases) {
        fake.events.clear();
        fake.tx.clear();
        fake.writeTimes.clear();
        resetFakeClock();
        fake.onWrite = [](FakePort& f, uint8_t b) {
            if (b == kDongleWakeUp) f.receive("\xF5");
        };
        EXPECT_TRUE(setUpLink(&fake.port, tc.speed, 'N', 8, 1, runConfig));
        std::vector<std::string> expected = {"line " + std::to_string(tc.speed), "line 9600"};
        expected.insert(expected.end(), kAttempt.begin(), kAttempt.end());
        for (const auto& byte : tc.sequence)
            expected.push_back("write " + byte);
        expected.push_back("dtr 1");
        expected.push_back("line " + std::to_string(tc.speed));
        EXPECT_EQ(fake.events, expected) << tc.speed;
        EXPECT_EQ(fake.speed, tc.speed);
        // The dongle settles for 500 ms before its wake-up; then two 50 ms
        // pauses and a 50 ms break come before the wake-up byte.
        ASSERT_FALSE(fake.writeTimes.empty());
        EXPECT_GE(fake.writeTimes[0], 650U) << tc.speed;
        // 50 ms between the set-up sequence and DTR up.
        EXPECT_GE(fakeNow() - fake.writeTimes.back(), 50U) << tc.speed;
    }
}

TEST_F(Link, AckOnALaterAttemptAndWrongBytesIgnored) {
    const struct {
        std::vector<std::string> answers;  // per wake-up byte; "" is silence
        int attempts;
        bool ok;
    } cases[] = {
        {{"\xF4"}, 1, true},
        {{"", "\xF5"}, 2, true},
        {{std::string(1, '\0'), "\xF3", "\xF6", "\xF4"}, 4, true},
        {{}, 10, false},
        {{"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "\xF4"}, 10, false},
        // A dongle takes its time: 8 ms is still an answer.
        {{"+8\xF5"}, 1, true},
    };
    for (const auto& tc : cases) {
        fake.events.clear();
        size_t wakeUps = 0;
        auto answers = tc.answers;
        fake.onWrite = [&](FakePort& f, uint8_t b) {
            if (b != kDongleWakeUp) return;
            if (wakeUps < answers.size()) {
                const std::string& answer = answers[wakeUps];
                if (answer.rfind("+8", 0) == 0) {
                    f.receiveAt(fakeNow() + 8, answer.substr(2));
                } else {
                    f.receive(answer);
                }
            }
            ++wakeUps;
        };
        resetFakeClock();
        EXPECT_EQ(resetDongle(&fake.port), tc.ok ? 1 : 0);
        EXPECT_EQ(wakeUps, static_cast<size_t>(tc.attempts));
        // Each attempt: two 50 ms pauses, a 50 ms break, up to 10 ms of waiting.
        EXPECT_GE(fakeNow(), static_cast<uint32_t>(150 * (tc.attempts - 1)));
        fake.rx.clear();
    }
}

TEST_F(Link, StaleInputIsNotTakenForTheAnswer) {
    // Bytes relayed before the dongle woke up wait in the receive queue.
    fake.rx = std::string(30, '\x81');
    size_t wakeUps = 0;
    fake.onWrite = [&](FakePort& f, uint8_t b) {
        if (b != kDongleWakeUp) return;
        ++wakeUps;
        f.receive("\xF4");
    };
    EXPECT_EQ(resetDongle(&fake.port), 1);
    EXPECT_EQ(wakeUps, 1U);
}

TEST_F(Link, DongleFailures) {
    runConfig.linkMode = LinkDongle;
    startCapture();
    EXPECT_FALSE(setUpLink(&fake.port, 230400, 'N', 8, 1, runConfig));
    EXPECT_EQ(captured(), "Failed to set the port: invalid baud rate for IR Dongle\n");
    EXPECT_EQ(fake.speed, 230400);

    fake.events.clear();
    startCapture();
    EXPECT_FALSE(setUpLink(&fake.port, 38400, 'N', 8, 1, runConfig));
    EXPECT_EQ(captured(), "Failed to program the IR Dongle\n");
    EXPECT_EQ(fake.speed, 9600);
}

}  // namespace
