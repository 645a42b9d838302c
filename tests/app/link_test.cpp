#include "app/link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_test_support.h"

namespace {

using Link = StageTest;

const std::vector<std::string> kAttempt = {"dtr 1", "rts 1", "rts 0",   "break 50",
                                           "rts 1", "dtr 0", "write F0"};

std::vector<std::string> commandWrites(int row) {
    std::vector<std::string> writes;
    for (uint8_t b : dongleSpeedCommands[row]) {
        char text[16];
        snprintf(text, sizeof text, "write %02X", b);
        writes.push_back(text);
    }
    return writes;
}

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
        int row;
        std::string third;
    } cases[] = {
        {9600, 0, "53"}, {19200, 1, "53"}, {38400, 2, "53"}, {57600, 3, "53"}, {115200, 4, "51"}};
    runConfig.linkMode = LinkDongle;
    for (const auto& tc : cases) {
        fake.events.clear();
        fake.tx.clear();
        fake.onWrite = [](FakePort& f, uint8_t b) {
            if (b == kDongleWakeUp) f.receive("\xF5");
        };
        EXPECT_TRUE(setUpLink(&fake.port, tc.speed, 'N', 8, 1, runConfig));
        std::vector<std::string> expected = {"line " + std::to_string(tc.speed), "line 9600"};
        expected.insert(expected.end(), kAttempt.begin(), kAttempt.end());
        auto writes = commandWrites(tc.row);
        EXPECT_EQ(writes[2], "write " + tc.third);
        expected.insert(expected.end(), writes.begin(), writes.end());
        expected.push_back("dtr 1");
        expected.push_back("line " + std::to_string(tc.speed));
        EXPECT_EQ(fake.events, expected) << tc.speed;
        EXPECT_EQ(fake.speed, tc.speed);
    }
}

TEST_F(Link, The115200SequenceBytes) {
    const uint8_t expected[] = {0x03, 0x46, 0x51, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x81, 0x90, 0x11};
    EXPECT_EQ(0, memcmp(dongleSpeedCommands[4], expected, sizeof expected));
    const uint8_t at9600[] = {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x87, 0x91, 0x11};
    EXPECT_EQ(0, memcmp(dongleSpeedCommands[0], at9600, sizeof at9600));
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
    };
    for (const auto& tc : cases) {
        fake.events.clear();
        size_t wakeUps = 0;
        auto answers = tc.answers;
        fake.onWrite = [&](FakePort& f, uint8_t b) {
            if (b != kDongleWakeUp) return;
            if (wakeUps < answers.size()) f.receive(answers[wakeUps]);
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
