#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/irom.h"
#include "app/loader.h"
#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

// Answers each wire command with a scripted reply; the same command may get
// different replies on later sends.
struct ScriptedIrom {
    std::map<std::string, std::vector<std::string>> replies;
    std::vector<std::string> commands;

    void attach(FakePort& fake) {
        fake.onWriteBlock = [this](FakePort& f, const std::string& command) {
            commands.push_back(command);
            auto& queue = replies[command];
            if (!queue.empty()) {
                f.receive(queue.front());
                if (queue.size() > 1) queue.erase(queue.begin());
            }
        };
    }
};

using Irom = StageTest;

TEST_F(Irom, DetectionOfIromOrRunningLoader) {
    const struct {
        std::map<std::string, std::vector<std::string>> replies;
        int32_t result;
        std::string output;
        std::vector<std::string> commands;
        std::vector<std::string> lines;
    } cases[] = {
        {{{"AT\r", {"whatever\r\n"}}},
         kIromAnswered,
         "\nSending AT to mobile\nIROM found\n",
         {"AT\r"},
         {}},
        {{{"AT\r", {""}}, {"AT\r\n", {"OK\r\n"}}},
         kLoaderAnswered,
         "\nSending AT to mobile\nEnbedded FLASH download routine found\n",
         {"AT\r", "AT\r", "AT\r\n"},
         {"line 115200"}},
    };
    for (const auto& tc : cases) {
        ScriptedIrom irom;
        irom.replies = tc.replies;
        irom.attach(fake);
        fake.events.clear();
        startCapture();
        EXPECT_EQ(detectMobile(), tc.result);
        EXPECT_EQ(captured(), tc.output);
        EXPECT_EQ(irom.commands, tc.commands);
        EXPECT_EQ(fake.events, tc.lines);
    }
}

TEST_F(Irom, NobodyAnswers) {
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            detectMobile();
        },
        testing::ExitedWithCode(1),
        "\nSending AT to mobile\n\n-+\nERROR 1: Timeout waiting for mobile to respond\n-+\n$");
}

TEST_F(Irom, IdentityRamTestAndRetry) {
    const struct {
        std::string itest;
        std::vector<std::string> ramReplies;
        std::string ramCommand;
        std::string output;
    } cases[] = {
        {"ITEST=010\r\nOK\r\n",
         {"ERAM TestPass\r\n"},
         "AT05=00,07\r",
         "\nRequesting IROM version number\nIROM identity 10\n"
         "\nSending 8bit/8bit CS setup to IROM\nResponse OK\n"
         "\nInitial RAM test\nWait for test to complete ....\nResponse OK\n"},
        {"ITEST=011\r\nOK\r\n", {"ERAM Test: Pass\r\n"}, "AT05=20,08\r", "IROM identity 11\n"},
        {"OK\r\n", {"ERAM TestPass\r\n"}, "AT05=00,07\r", "IROM identity 0\n"},
        {"ITEST=012\r\nOK\r\n",
         {"ERAM TestFail\r\n", "ERAM TestPass\r\n"},
         "AT05=20,08\r",
         "Wait for test to complete ....\nRAM test failure\n"
         "\nSending 16bit/16bit CS setup to IROM\nResponse OK\n"
         "\nRepeat RAM test\nWait for test to complete ....\nResponse OK\n"},
        // No verdict counts as a failure; the retry passes.
        {"ITEST=001\r\nOK\r\n",
         {"ERAM Test: huh\r\n", "ERAM Test: Pass\r\n"},
         "AT05=00,07\r",
         "RAM test failure\n"},
    };
    for (const auto& tc : cases) {
        ScriptedIrom irom;
        irom.replies = {{"AT04\r", {tc.itest}},
                        {"AT01=0005,0005\r", {"OK\r\n"}},
                        {"AT01=0015,0015\r", {"OK\r\n"}},
                        {tc.ramCommand, tc.ramReplies}};
        irom.attach(fake);
        startCapture();
        identifyIromAndTestRam();
        std::string out = captured();
        EXPECT_NE(out.find(tc.output), std::string::npos) << out;
        EXPECT_EQ(std::count(irom.commands.begin(), irom.commands.end(), tc.ramCommand),
                  static_cast<long>(tc.ramReplies.size()));
        bool retried = tc.ramReplies.size() > 1;
        EXPECT_EQ(std::count(irom.commands.begin(), irom.commands.end(), "AT01=0015,0015\r"),
                  retried ? 1 : 0);
    }
}

TEST_F(Irom, RamTestFailsTwice) {
    ScriptedIrom irom;
    irom.replies = {{"AT04\r", {"ITEST=010\r\nOK\r\n"}},
                    {"AT01=0005,0005\r", {"OK\r\n"}},
                    {"AT01=0015,0015\r", {"OK\r\n"}},
                    {"AT05=00,07\r", {"ERAM TestFail\r\n"}}};
    irom.attach(fake);
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            identifyIromAndTestRam();
        },
        testing::ExitedWithCode(1),
        "Repeat RAM test\nWait for test to complete ....\n\n-+\nERROR 2: External RAM test "
        "failure\n-+\n$");
}

TEST_F(Irom, StartTransferWaitsForDownload) {
    ScriptedIrom irom;
    irom.replies = {{"AT04\r", {"ITEST=010\r\nOK\r\n"}},
                    {"AT01=0005,0005\r", {"OK\r\n"}},
                    {"AT05=00,07\r", {"ERAM TestPass\r\n"}},
                    {"AT**3\r", {"OK\r\nNEXT\r\nsome text\r\nERAM TestPass\r\nDownload\r\n"}}};
    irom.attach(fake);
    startCapture();
    runIromStage();
    std::string out = captured();
    EXPECT_NE(out.find("\nSending start transfer command to IROM\n  some text \nResponse OK\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(irom.commands.back(), "AT**3\r");
}

using Loader = StageTest;

TEST_F(Loader, LinesAsATextModeReadGivesThem) {
    const struct {
        std::string file;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"S0\nS3\n", {"S0\n", "S3\n"}},
        {"S0\r\nS3\r\n", {"S0\n", "S3\n"}},
        {"S0\r\n\r\n\nS7", {"S0\n", "\n", "\n", "S7"}},
        {"a\rb\n", {"a\rb\n"}},
        {"end\r", {"end\r"}},
        {std::string(100, 'x') + "\n", {std::string(97, 'x'), "xxx\n"}},
        {std::string(96, 'x') + "\r\n", {std::string(96, 'x') + "\n"}},
        {std::string(97, 'x') + "\r\n", {std::string(97, 'x'), "\n"}},
        // Ctrl-Z ends a DOS text file.
        {"S0\r\nS7\r\n\x1A", {"S0\n", "S7\n"}},
        {"S0\x1A\nS7\n", {"S0"}},
    };
    TempDir dir;
    for (const auto& tc : cases) {
        dir.write("l.s37", tc.file);
        FILE* f = fopen(dir.file("l.s37").c_str(), "rb");
        std::vector<std::string> lines;
        char buffer[98];
        while (readLoaderLine(f, buffer, sizeof buffer))
            lines.push_back(buffer);
        fclose(f);
        EXPECT_EQ(lines, tc.lines) << tc.file;
    }
}

TEST_F(Loader, UploadAcknowledgesEveryLine) {
    TempDir dir;
    dir.write("l.s37", "S0030000FC\r\n\r\nS70500000000FA");
    run().loaderFile = fopen(dir.file("l.s37").c_str(), "rb");
    int line = 0;
    fake.onWrite = [&line](FakePort& f, uint8_t byte) {
        // The second line draws a complaint and stray control bytes first.
        if (byte == '\n' || f.tx == "S0030000FC\n\nS70500000000FA") {
            f.receive(++line == 2 ? "\r\nbad record\x01\x80." : ".");
        }
    };
    startCapture();
    sendFlashLoader();
    std::string out = captured();
    EXPECT_EQ(fake.tx, "S0030000FC\n\nS70500000000FA");
    EXPECT_EQ(out, "\nSending flash loader to IROM\n.\nbad record..\nResponse OK\n");
}

TEST_F(Loader, MissingAcknowledgement) {
    TempDir dir;
    dir.write("l.s37", "S0030000FC\nS70500000000FA\n");
    run().loaderFile = fopen(dir.file("l.s37").c_str(), "rb");
    fake.onWrite = [](FakePort& f, uint8_t byte) {
        if (byte == '\n' && f.tx.size() < 12) f.receive(".");
    };
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            sendFlashLoader();
        },
        testing::ExitedWithCode(1),
        "IROM\n\\.\n\n-+\nTimeout waiting for s-record ACK from IROM\n-+\n$");
}

}  // namespace
