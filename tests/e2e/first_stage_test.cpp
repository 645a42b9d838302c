// The first stage against the virtual phone: who answers, the IROM's
// identity and RAM test, the flash loader upload, the speed change and the
// loader's greeting. (Its failures are rows of faults_test.cpp.)
#include <gtest/gtest.h>

#include "tests/e2e/native_or_wine.h"

namespace {

// One small image; the phone's ROM answers at once.
e2e::Scenario scenario() {
    return e2e::smallRun();
}

class FirstStage : public e2e::NativeOrWine {};

TEST_P(FirstStage, IromPathToTheLoaderVersion) {
    e2e::Scenario s = scenario();
    s.phone.echo = true;
    s.phone.startLines = {"OK", "NEXT", "booting"};
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    // The dots go to the console itself; on Windows never into redirected output.
    const std::string loaderDots(wine() ? 0 : e2e::count(s.files["rb7.s37"], "\n"), '.');
    const std::string tilde(79, '~');
    const std::string expected =
        "\nCharacter received is 81\nCharacter sent is 7e"
        "\nSending AT to mobile\nIROM found\n"
        "\nRequesting IROM version number\nIROM identity 11\n"
        "\nSending 8bit/8bit CS setup to IROM\nResponse OK\n"
        "\nInitial RAM test\nWait for test to complete ....\nResponse OK\n"
        "\nSending start transfer command to IROM\n  booting \nResponse OK\n"
        "\nSending flash loader to IROM\n" +
        loaderDots + "\nResponse OK\n\n" + tilde + "\nFirst stage load complete (RAM)\n" + tilde +
        "\n\nSending AT to mobile\nResponse OK\n"
        "\nRequesting flash loader version information\n  FLASH LOADER V2.04 \nResponse OK\n"
        "\nOpening 'a.bin' ....Done\n";
    EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;

    // Exactly these bytes reached the boot ROM, at 38400 bit/s, then the
    // loader file unchanged at 115200.
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Rom),
              "AT\rAT04\rAT01=0005,0005\rAT05=20,08\rAT**3\r");
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Srec), s.files["rb7.s37"]);
    const std::string loader = r.transcript().bytes(true, sim::Phase::Loader);
    EXPECT_EQ(loader.substr(0, 18), "AT\r\nAT##V\r\nAT##L=0") << loader;
    // The phone's time to settle: 200 ms after the ENQ answer, 500 ms after the
    // loader's last line, before the next command (as the phone sees the bytes
    // arrive, a little less).
    sim::Micros enqAnswered = 0, firstProbe = 0, lastDot = 0, firstLoaderCommand = 0;
    for (const auto& chunk : r.transcript().chunks()) {
        if (chunk.toPhone && chunk.phase == sim::Phase::Enq) enqAnswered = chunk.lastTime;
        if (chunk.toPhone && chunk.phase == sim::Phase::Rom && firstProbe == 0)
            firstProbe = chunk.time;
        if (!chunk.toPhone && chunk.phase == sim::Phase::Srec) lastDot = chunk.lastTime;
        if (chunk.toPhone && chunk.phase == sim::Phase::Loader && firstLoaderCommand == 0)
            firstLoaderCommand = chunk.time;
    }
    EXPECT_GE(firstProbe - enqAnswered, 180000u);
    EXPECT_GE(firstLoaderCommand - lastDot, 450000u);
    for (const auto& chunk : r.transcript().chunks()) {
        if (!chunk.toPhone || chunk.garbled) continue;
        if (chunk.phase == sim::Phase::Rom) {
            EXPECT_EQ(chunk.speed, 38400u);
        }
        if (chunk.phase == sim::Phase::Srec || chunk.phase == sim::Phase::Loader) {
            EXPECT_EQ(chunk.speed, 115200u);
        }
    }
    EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
}

TEST_P(FirstStage, LoaderAlreadyRunning) {
    e2e::Scenario s = scenario();
    s.phone.loaderRunning = true;
    s.args.insert(s.args.end(), {"/h", "--trace=trace.txt"});
    s.readBack = {"trace.txt"};
    const e2e::Result r = run(s);
    // The trace holds its header, standard output none of it; the probe at
    // 38400 carries that speed, the one after the change 115200.
    const std::string& trace = r.files.at("trace.txt");
    EXPECT_EQ(trace.rfind("# download wire trace", 0), 0u) << trace.substr(0, 200);
    EXPECT_EQ(r.output.find("# download"), std::string::npos);
    const size_t slow = trace.find("IROM             38400  -> 41 54 0D ");
    EXPECT_NE(slow, std::string::npos) << trace;
    EXPECT_LT(slow, trace.find("IROM            115200  -> 41 54 0D "));
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("\nSending AT to mobile\nEnbedded FLASH download routine found\n"
                            "\nSending AT to mobile\nResponse OK\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("First stage load complete"), std::string::npos);
    EXPECT_EQ(r.output.find("Sending flash loader"), std::string::npos);
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Srec), "");
    EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
}

TEST_P(FirstStage, DownloadSpeedAcceptedOrRefused) {
    const struct {
        std::vector<uint32_t> phoneSpeeds;
        std::string text;
        uint32_t blockSpeed;
    } cases[] = {
        {{230400, 460800}, "\nSetting download speed to 460800bps...done\n", 460800},
        {{230400},
         "\nSetting download speed to 460800bps...Loader can not support 460800bps, using "
         "115200bps instead\n",
         115200},
    };
    for (const auto& tc : cases) {
        e2e::Scenario s = scenario();
        s.args.push_back("/s:460");
        s.phone.speeds = tc.phoneSpeeds;
        const e2e::Result r = run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_NE(r.output.find(tc.text), std::string::npos) << r.output;
        size_t blocks = 0;
        for (const auto& chunk : r.transcript().chunks()) {
            if (chunk.toPhone && chunk.phase == sim::Phase::Blocks) {
                EXPECT_EQ(chunk.speed, tc.blockSpeed);
                ++blocks;
            }
        }
        EXPECT_GT(blocks, 0u);
        EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
        // After the phone took the new speed, half a second before it is used.
        uint64_t replied = 0, next = 0;
        for (const auto& chunk : r.transcript().chunks()) {
            if (chunk.toPhone && chunk.speed == tc.blockSpeed && tc.blockSpeed != 115200) {
                next = chunk.time;
                break;
            }
            if (!chunk.toPhone) replied = chunk.lastTime;
        }
        if (tc.blockSpeed != 115200) {
            EXPECT_GE(next - replied, 450000u);
        }
    }
}

TEST_P(FirstStage, RamTestPassesAfterThe16BitSetup) {
    e2e::Scenario s = scenario();
    s.phone.ram = sim::RamVerdict::Need16Bit;
    s.phone.eramStyle = sim::EramStyle::Spaced;
    const e2e::Result r = run(s);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("\nInitial RAM test\nWait for test to complete ....\nRAM test failure\n"
                            "\nSending 16bit/16bit CS setup to IROM\nResponse OK\n"
                            "\nRepeat RAM test\nWait for test to complete ....\nResponse OK\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Rom),
              "AT\rAT04\rAT01=0005,0005\rAT05=20,08\rAT01=0015,0015\rAT05=20,08\rAT**3\r");
}

NATIVE_AND_WINE(FirstStage);

TEST(FirstStageText, RomTextBeforeADotIsShownOnItsOwnLine) {
    e2e::Scenario s = scenario();
    s.phone.complainAt = {{"srec", 2}};
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("\nSending flash loader to IROM\n..\nWARNING: RECORD IGNORED...."),
              std::string::npos)
        << r.output;
}

TEST(FirstStageText, IdentityChoosesTheRamTest) {
    const struct {
        std::string itest;
        std::string line;
        std::string ramTest;
    } cases[] = {
        {"ITEST=010", "IROM identity 10\n", "AT05=00,07\r"},
        {"ITEST=011", "IROM identity 11\n", "AT05=20,08\r"},
        {"", "IROM identity 0\n", "AT05=00,07\r"},
    };
    for (const auto& tc : cases) {
        e2e::Scenario s = scenario();
        s.phone.itest = tc.itest;
        const e2e::Result r = e2e::run(s);
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_NE(r.output.find("\nRequesting IROM version number\n" + tc.line), std::string::npos)
            << r.output;
        EXPECT_NE(r.transcript().bytes(true, sim::Phase::Rom).find(tc.ramTest), std::string::npos);
    }
}

}  // namespace
