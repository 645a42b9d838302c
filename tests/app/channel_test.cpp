#include "app/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "tests/app/app_test_support.h"

namespace {

using ChannelTest = StageTest;

TEST_F(ChannelTest, LineEndsAndLimits) {
    const struct {
        std::string input;
        bool complete;
        std::string line;
    } cases[] = {
        {"AB\r\n", true, "AB"},
        {"AB\n\r", true, "AB"},
        {"A\rB\r\n", true, "AB"},
        {"A\nB\n\r", true, "AB"},
        {"\r\r\n", true, ""},
        {"\r\n", true, ""},
        {std::string(85, 'x') + "\r\n", true, std::string(80, 'x')},
        {std::string(500, 'y') + "\r\nnext", true, std::string(80, 'y')},
        {"A", false, "A"},
        {"", false, ""},
        {"AB\r", false, "AB"},
        {std::string("A\0B\r\n", 5), true, "A"},
        {"\x80\xff\x81\r\n", true, "\x80\xff\x81"},
    };
    for (const auto& tc : cases) {
        fake.rx = tc.input;
        char buffer[kReplyLineSize];
        std::memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(readReplyLine(buffer, 1), tc.complete) << tc.input;
        EXPECT_EQ(std::string(buffer), tc.line) << tc.input;
    }
}

TEST_F(ChannelTest, LineTimeOutIsPerCharacter) {
    const struct {
        uint32_t gap;
        bool complete;
    } cases[] = {{900, true}, {1100, false}};
    for (const auto& tc : cases) {
        resetFakeClock();
        fake.rx.clear();
        fake.scheduled.clear();
        const std::string parts[] = {"A", "B", "C", "\r\n"};
        for (uint32_t i = 0; i < 4; ++i)
            fake.receiveAt(i * tc.gap, parts[i]);
        char buffer[kReplyLineSize];
        EXPECT_EQ(readReplyLine(buffer, 1), tc.complete) << tc.gap;
        EXPECT_STREQ(buffer, tc.complete ? "ABC" : "A") << tc.gap;
    }
}

struct ReplyCase {
    std::string input;
    ReplyResult result;
    std::string output;
    int32_t value;  // the slot starts at 777
    bool stored;
};

TEST_F(ChannelTest, ReplyClassification) {
    const ReplyCase cases[] = {
        {"AT##V\r\nOK\r\n", ReplyOk, "", 777, false},
        {"AT\r\nOK\r\n", ReplyOk, "", 777, false},
        {"OK\r\n", ReplyOk, "", 777, false},
        {"OK extra words\r\n", ReplyOk, "", 777, false},
        {"NEXT\r\n", ReplyNext, "", 777, false},
        {"Download\r\n", ReplyDownload, "", 777, false},
        {"ERAM TestPass\r\n", ReplyRamPass, "", 777, false},
        {"ERAM TestFail\r\n", ReplyRamFail, "", 777, false},
        {"ERAM Test: Pass\r\n", ReplyRamPass, "", 777, false},
        {"ERAM\tTest:  Fail\r\n", ReplyRamFail, "", 777, false},
        {"ERAM Test: maybe\r\n", ReplyNoVerdict, "", 777, false},
        {"ERAM Test:\r\n", ReplyNoVerdict, "", 777, false},
        {"ERAM odd line\r\n", ReplyNoVerdict, "  ERAM odd line\n", 777, false},
        {"ERAM\r\n", ReplyNoVerdict, "  ERAM\n", 777, false},
        {"ITEST=012\r\nOK\r\n", ReplyOk, "", 12, true},
        {"ITEST=12345\r\nOK\r\n", ReplyOk, "", 123, true},
        {"ITEST:-12\r\nOK\r\n", ReplyOk, "", -12, true},
        {"ITEST=7x\r\nOK\r\n", ReplyOk, "", 7, true},
        {"ITEST=\r\nOK\r\n", ReplyOk, "", 777, false},
        {"ITEST\r\nOK\r\n", ReplyOk, "", 777, false},
        {"ITEST=abc\r\nOK\r\n", ReplyOk, "", 777, false},
        {"ITEST=-\r\nOK\r\n", ReplyOk, "", 777, false},
        {"ITEST=" + std::string(200, '9') + "\r\nOK\r\n", ReplyOk, "", 999, true},
        {"0x1A2B\r\nOK\r\n", ReplyOk, "", 6699, true},
        {"0x1a2b trailing\r\nOK\r\n", ReplyOk, "", 6699, true},
        {"0x1F0B8\r\nOK\r\n", ReplyOk, "", 0x1F0B8, true},
        {"0xFFFFFFFF\r\nOK\r\n", ReplyOk, "", -1, true},
        {"0x123456789ABC\r\nOK\r\n", ReplyOk, "", -1, true},
        {"0x\r\nOK\r\n", ReplyOk, "", 777, false},
        {"0xZ\r\nOK\r\n", ReplyOk, "", 777, false},
        {"0X1A2B\r\nOK\r\n", ReplyOk, "  0X1A2B \n", 777, false},
        // The last value line of a reply wins.
        {"0x10\r\n0x20\r\nOK\r\n", ReplyOk, "", 0x20, true},
        {"\r\nOK\r\n", ReplyOk, "   \n", 777, false},
        {"hello world\r\nOK\r\n", ReplyOk, "  hello world \n", 777, false},
        {"ERRORS happen\r\nOK\r\n", ReplyOk, "  ERRORS happen \n", 777, false},
        {"a b c d e f\r\nOK\r\n", ReplyOk, "  a b c d e f \n", 777, false},
        {"%s%n%x\r\nOK\r\n", ReplyOk, "  %s%n%x \n", 777, false},
        {"a\x1b[2Jb\x07\x7f\r\nOK\r\n", ReplyOk, "  a?[2Jb?? \n", 777, false},
        // Text beyond ASCII (here UTF-8) is shown as it came.
        {"\xc5\x91 caf\xc3\xa9\r\nOK\r\n", ReplyOk, "  \xc5\x91 caf\xc3\xa9 \n", 777, false},
        {"FLASH device: AMD Am29DL163CB\r\nOK\r\n", ReplyOk, "  FLASH device: AMD Am29DL163CB\n",
         777, false},
        {"FLASH size: 2MB\r\nOK\r\n", ReplyOk, "  FLASH size: 2MB \n", 777, false},
        // Lines after the ending one stay for the next reader.
        {"OK\r\nNEXT\r\n", ReplyOk, "", 777, false},
    };
    for (const auto& tc : cases) {
        fake.rx = tc.input;
        int32_t value = 777;
        bool stored = false;
        startCapture();
        ReplyResult result = readReply(4, &value, &stored);
        std::string out = captured();
        EXPECT_EQ(result, tc.result) << tc.input;
        EXPECT_EQ(out, tc.output) << tc.input;
        EXPECT_EQ(value, tc.value) << tc.input;
        EXPECT_EQ(stored, tc.stored) << tc.input;
    }
}

TEST_F(ChannelTest, AFloodOfInformationLinesIsPrintedAndSurvived) {
    std::string flood;
    for (int i = 0; i < 2000; ++i)
        flood += "info " + std::to_string(i) + "\r\n";
    fake.rx = flood + "OK\r\n";
    int32_t value = 0;
    startCapture();
    EXPECT_EQ(readReply(4, &value), ReplyOk);
    std::string out = captured();
    EXPECT_NE(out.find("  info 1999 \n"), std::string::npos);
}

TEST_F(ChannelTest, FatalReplies) {
    const struct {
        std::string input;
        std::string message;
    } cases[] = {
        {"ERROR\r\n", "ERROR 4:   ERROR\n"},
        {"ERROR 7 bad command\r\n", "ERROR 4:   ERROR 7 bad command\n"},
        {"info\r\nERROR\r\nOK\r\n", "ERROR 4:   ERROR\n"},
        {"ERROR %s%n\r\n", "ERROR 4:   ERROR %s%n\n"},
        {"", "ERROR 3: Timeout waiting for response from mobile\n"},
        {"partial line", "ERROR 3: Timeout waiting for response from mobile\n"},
        {"info\r\n", "ERROR 3: Timeout waiting for response from mobile\n"},
    };
    for (const auto& tc : cases) {
        fake.rx = tc.input;
        int32_t value = 0;
        std::string expected = framed(tc.message);
        // Match the frame literally.
        std::string pattern =
            std::regex_replace(expected, std::regex(R"([.^$|()\\[\]{}*+?])"), R"(\$&)");
        EXPECT_EXIT(
            {
                STDOUT_TO_STDERR();
                readReply(2, &value);
            },
            testing::ExitedWithCode(1), pattern)
            << tc.input;
    }
}

TEST_F(ChannelTest, BankSizeQuestion) {
    const struct {
        std::string reply;
        int32_t size;
        bool asks;
    } cases[] = {
        {"FLASH device: AMD Am29DL163CB\r\nOK\r\n", 80001, true},
        {"FLASH device: AMD Am29DL163CB\r\nOK\r\n", 80000, false},
        {"FLASH device: AMD Am29DL163CT\r\nOK\r\n", 180001, true},
        {"FLASH device: AMD Am29DL163CT\r\nOK\r\n", 100000, false},
        {"FLASH device: AMD Am29DL323CB\r\nOK\r\n", 100001, true},
        {"FLASH device: AMD Am29LV800\r\nOK\r\n", 10000000, false},
        {"FLASH device: Intel Am29DL163CB\r\nOK\r\n", 10000000, false},
        {"FLASH  device:  AMD  Am29DL163CB trailing\r\nOK\r\n", 80001, true},
        // The last listed chip of the reply counts; an unlisted one keeps it.
        {"FLASH device: AMD Am29DL163CT\r\nFLASH device: AMD Am29DL163CB\r\nOK\r\n", 100000, true},
        {"FLASH device: AMD Am29DL163CB\r\nFLASH device: AMD other\r\nOK\r\n", 80001, true},
        // Before the first image the size is 0: never a question.
        {"FLASH device: AMD Am29DL163CB\r\nOK\r\n", 0, false},
    };
    for (const auto& tc : cases) {
        fake.rx = tc.reply;
        currentImage.size = tc.size;
        typeInput("y");
        int32_t value = 0;
        startCapture();
        EXPECT_EQ(readReply(4, &value), ReplyOk);
        std::string out = captured();
        const std::string question =
            "\nFile exceeds bank size, audio capability is suspect. Continue? [y/n]y\n";
        EXPECT_EQ(out.find(question) != std::string::npos, tc.asks) << tc.reply << tc.size;
        restoreInput();
    }
}

TEST_F(ChannelTest, BankSizeNoEndsTheRun) {
    fake.rx = "FLASH device: AMD Am29DL163CB\r\nOK\r\n";
    currentImage.size = 80001;
    typeInput("N");
    int32_t value = 0;
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            readReply(4, &value);
        },
        testing::ExitedWithCode(1), "Continue\\? \\[y/n\\]N\n$");
}

TEST_F(ChannelTest, CommandTexts) {
    const struct {
        CommandCode code;
        int32_t argument;
        std::string text;
    } cases[] = {
        {CmdBegin, 0, "AT##B\r\n"},
        {CmdChecksum, 0, "AT##C\r\n"},
        {CmdCrc, 0, "AT##R\r\n"},
        {CmdErase, 0, "AT##E\r\n"},
        {CmdInfo, 0, "AT##I\r\n"},
        {CmdVersion, 0, "AT##V\r\n"},
        {CmdSize, 1000000, "AT##S=0xF4240\r\n"},
        {CmdSize, 0, "AT##S=0x0\r\n"},
        {CmdH, -1, "AT##H=0xFFFFFFFF\r\n"},
        {CmdAddress, 0x400000, "AT##L=0x400000\r\n"},
        {CmdAddress, INT32_MIN, "AT##L=0x80000000\r\n"},
        {CmdEnd, 0, "AT##T\r\n"},
        {CmdSpeed, 460800, "AT##P=0x70800\r\n"},
        {CmdAtCrLf, 0, "AT\r\n"},
        {CmdAtCr, 0, "AT\r"},
        {CmdStartTransfer, 3, "AT**3\r"},
        {CmdCsSetup8, 0, "AT01=0005,0005\r"},
        {CmdCsSetup16, 0, "AT01=0015,0015\r"},
        {CmdRamTestLow, 0, "AT05=00,07\r"},
        {CmdRamTestHigh, 0, "AT05=20,08\r"},
        {CmdIromVersion, 0, "AT04\r"},
    };
    for (const auto& tc : cases) {
        for (LinkMode mode : {LinkWire, LinkDongle}) {
            runConfig.linkMode = mode;
            fake.tx.clear();
            fake.writeTimes.clear();
            fake.events.clear();
            sendCommand(tc.code, tc.argument);
            EXPECT_EQ(fake.tx, tc.text) << tc.text;
            if (mode == LinkDongle) {
                // One write per character, each followed by at least 40 ms.
                ASSERT_EQ(fake.events.size(), tc.text.size());
                for (size_t i = 1; i < fake.writeTimes.size(); ++i)
                    EXPECT_GE(fake.writeTimes[i] - fake.writeTimes[i - 1], 40U) << tc.text;
            } else {
                EXPECT_TRUE(fake.events.empty());
            }
        }
    }
}

TEST_F(ChannelTest, DelayWaitsAtLeastTheTime) {
    for (uint16_t ms : {0, 1, 40, 500}) {
        uint32_t start = fakeNow();
        delayMs(ms);
        EXPECT_GE(fakeNow() - start, ms);
        EXPECT_LE(fakeNow() - start, ms + 1U);
    }
}

TEST(LoaderLetters, GlyphsFollowTheLetters) {
    EXPECT_STREQ(loaderLetters, "BCREIVSHLTP.o-");
}

}  // namespace
