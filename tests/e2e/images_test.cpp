// Images against the virtual phone: several images written where they
// belong, the FLASH equal to the files, the checks and their questions, the
// verdicts and the exit status.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <sstream>

#include "tests/e2e/native_or_wine.h"

namespace {

const std::string kSuccess = "FLASH DOWNLOAD SUCCESSFUL : Version: 3.10a (May 10 2002)\n";
const std::string kChecksumFailure =
    "FLASH DOWNLOAD FAILURE : Checksum mismatch : Version: 3.10a (May 10 2002)\n";
const std::string kCrcFailure =
    "FLASH DOWNLOAD FAILURE : CRC mismatch : Version: 3.10a (May 10 2002)\n";

// An rb7 image: the signature bytes at 68 and 69.
std::string signedImage(std::string bytes) {
    if (bytes.size() < 70) bytes.resize(70, '\x5A');
    bytes[68] = bytes[69] = '\xCB';
    return bytes;
}

// Data followed by its own frame check sequence (the complement of the CRC
// register, low byte first): the file's CRC is then the required one.
std::string withFcs(std::string data) {
    uint16_t crc = 0xFFFF;
    for (unsigned char byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            bool low = ((crc ^ byte) & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (low) crc ^= 0x8408;
            byte = static_cast<unsigned char>(byte >> 1);
        }
    }
    crc = static_cast<uint16_t>(~crc);
    data.push_back(static_cast<char>(crc & 0xFF));
    data.push_back(static_cast<char>(crc >> 8));
    return data;
}

// The progress glyphs of an image of fewer than 65 blocks: '-' for a block of
// 0xFF, 'o' for a block of zeros, '.' for the rest.
std::string glyphsFor(const std::string& image) {
    std::string glyphs;
    for (size_t at = 0; at < image.size(); at += 1024) {
        const std::string block = image.substr(at, 1024);
        if (block.find_first_not_of('\xff') == std::string::npos) {
            glyphs += '-';
        } else if (block.find_first_not_of('\0') == std::string::npos) {
            glyphs += 'o';
        } else {
            glyphs += '.';
        }
    }
    return glyphs;
}

e2e::Scenario baseScenario() {
    e2e::Scenario s;
    s.files["rb7.s37"] = e2e::sampleLoader();
    s.phone.enqIntervalMs = 20;
    s.timeoutSeconds = 60;
    return s;
}

class Images : public e2e::NativeOrWine {};

TEST_P(Images, SeveralImagesLandWhereTheyBelong) {
    e2e::Scenario s = baseScenario();
    s.files["a.bin"] = e2e::crcImage(70000);
    s.files["sparse.bin"] = e2e::blockImage("dbzbzdb");
    // 1025 bytes: a full block and a one-byte block of 0xFF (a blank marker).
    s.files["odd.bin"] = signedImage(std::string(1024, '\x33') + "\xff");
    s.args = {"sparse.bin:0x600000", "a.bin", "odd.bin:A00000", "/l"};
    s.keys = {{'y', "Continue anyway [y/n]"}};  // odd.bin has no CRC residue
    const e2e::Result r = run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(e2e::count(r.output, kSuccess), 3u) << r.output;
    EXPECT_EQ(r.flash(0x400000, 70000), s.files["a.bin"]);
    EXPECT_EQ(r.flash(0x600000, s.files["sparse.bin"].size()), s.files["sparse.bin"]);
    EXPECT_EQ(r.flash(0xA00000, 1025), s.files["odd.bin"]);
    EXPECT_NE(r.output.find("\nSend destination address,0xa00000, to mobile\nResponse OK\n"
                            "\nSend file size, 1025bytes, to mobile\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("FLASH download in progress ....\n.-\nFLASH download complete\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("FLASH download in progress ....\n" + glyphsFor(s.files["sparse.bin"]) +
                            "\nFLASH download complete\n"),
              std::string::npos)
        << r.output;
    // 69 blocks, 68 KiB: 64 glyphs, then (64 * 100 + 34) / 68 = 94 %, counted
    // from this image's first block even though an image came before.
    const std::string glyphs = glyphsFor(s.files["a.bin"]);
    EXPECT_NE(r.output.find("FLASH download in progress ....\n" + glyphs.substr(0, 64) + "  94%\n" +
                            glyphs.substr(64) + "\nFLASH download complete\n"),
              std::string::npos)
        << r.output;
    ASSERT_EQ(r.phone.images.size(), 3u);
    EXPECT_EQ(r.phone.images[0].blankBlocks, 3u);
    EXPECT_EQ(r.phone.images[0].zeroBlocks, 2u);
    EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
    // The run ends with T after the last image.
    const std::string loader = r.transcript().bytes(true, sim::Phase::Loader);
    EXPECT_EQ(loader.substr(loader.size() - 7), "AT##T\r\n");
}

TEST_P(Images, MismatchesAreFailuresAndTheNextImageIsStillWritten) {
    const struct {
        uint32_t checksumXor;
        uint16_t crcXor;
        std::vector<sim::ByteFault> byteFaults;
        std::string first, second;  // the verdict banners
    } cases[] = {
        {0x100, 0, {}, kChecksumFailure, kChecksumFailure},
        {0, 0x1, {}, kCrcFailure, kCrcFailure},
        {0x1, 0x1, {}, kChecksumFailure, kChecksumFailure},
        // A byte of the first image damaged on the line: only it fails, and
        // the run still ends with status 2.
        {0,
         0,
         {{sim::ByteFaultKind::Corrupt, true, sim::Phase::Blocks, 10}},
         kChecksumFailure,
         kSuccess},
    };
    for (const auto& tc : cases) {
        e2e::Scenario s = baseScenario();
        s.files["a.bin"] = e2e::crcImage(5000);
        s.files["b.bin"] = e2e::crcImage(5000, 7);
        s.args = {"a.bin", "b.bin:0x500000", "/l"};
        s.phone.checksumXor = tc.checksumXor;
        s.phone.crcXor = tc.crcXor;
        s.phone.byteFaults = tc.byteFaults;
        const e2e::Result r = run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 2) << r.output;
        const size_t first = r.output.find(tc.first);
        ASSERT_NE(first, std::string::npos) << r.output;
        EXPECT_NE(r.output.find(tc.second, first + tc.first.size()), std::string::npos) << r.output;
        EXPECT_EQ(e2e::count(r.output, "FLASH DOWNLOAD "), 2u) << r.output;
        // Both images were written all the same.
        EXPECT_EQ(r.flash(0x500000, 5000), s.files["b.bin"]);
    }
}

NATIVE_AND_WINE(Images);

struct QuestionCase {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> files;
    std::string flashDevice;
    std::string question;
    char key;
    int exitStatus;
};

class Questions : public ::testing::TestWithParam<QuestionCase> {};

TEST_P(Questions, OnlyNStops) {
    const QuestionCase& q = GetParam();
    e2e::Scenario s = baseScenario();
    for (const auto& [name, bytes] : q.files)
        s.files[name] = bytes;
    s.args = q.args;
    s.phone.flashDevice = q.flashDevice;
    // --answers prints its answer where a typed key is echoed, and reads nothing.
    const bool answered = q.args.back().rfind("--answers=", 0) == 0;
    if (!answered) s.keys = {{q.key, q.question}};
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.keysTyped, answered ? 0u : 1u) << r.output;
    EXPECT_EQ(
        r.errors.find(std::string("answered ") + q.key + " by --answers\n") != std::string::npos,
        answered)
        << r.errors;
    EXPECT_EQ(r.exitStatus, q.exitStatus) << r.output;
    EXPECT_NE(r.output.find("\n" + q.question + q.key + "\n"), std::string::npos) << r.output;
    if (q.exitStatus == 1) {
        // Nothing after the echoed key.
        EXPECT_EQ(r.output.substr(r.output.size() - q.question.size() - 2),
                  q.question + q.key + "\n");
        EXPECT_FALSE(r.phone.verdict.ended);
    } else {
        EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
    }
}

const std::string kSignatureQuestion =
    "Data file has a wrong signature. It maybe an invalid image. Continue?[y/n]";
const std::string kOverlapQuestion =
    "Data file overlapping in mobile memory with previous file. Continue?[y/n]";
const std::string kCrcQuestion =
    "CRC indicates that data file may be corrupt. Continue anyway [y/n]";
const std::string kBankQuestion =
    "File exceeds bank size, audio capability is suspect. Continue? [y/n]";

const QuestionCase kQuestions[] = {
    {"SignatureNo",
     {"a.bin", "/l"},
     {{"a.bin", std::string(4000, 'x')}},
     "",
     kSignatureQuestion,
     'n',
     1},
    {"SignatureYes",
     {"a.bin", "/l"},
     {{"a.bin", withFcs(std::string(4002, 'x'))}},
     "",
     kSignatureQuestion,
     'y',
     0},
    {"OverlapNo",
     {"a.bin", "b.bin:0x408000", "/l"},
     {{"a.bin", e2e::crcImage(100)}, {"b.bin", e2e::crcImage(100, 3)}},
     "",
     kOverlapQuestion,
     'N',
     1},
    {"OverlapYes",
     {"a.bin", "b.bin:0x400000", "/l"},
     {{"a.bin", e2e::crcImage(100)}, {"b.bin", e2e::crcImage(100, 3)}},
     "",
     kOverlapQuestion,
     'Y',
     0},
    {"CrcNo", {"a.bin", "/l"}, {{"a.bin", signedImage("abc")}}, "", kCrcQuestion, 'n', 1},
    {"BankNo",
     {"a.bin", "/l"},
     {{"a.bin", e2e::crcImage(90000)}},
     "AMD Am29DL163CB",
     kBankQuestion,
     'n',
     1},
    {"BankYes",
     {"a.bin", "/l"},
     {{"a.bin", e2e::crcImage(90000)}},
     "AMD Am29DL163CB",
     kBankQuestion,
     'x',
     0},
    {"SignatureAnsweredNo",
     {"a.bin", "/l", "--answers=no"},
     {{"a.bin", std::string(4000, 'x')}},
     "",
     kSignatureQuestion,
     'n',
     1},
    {"OverlapAnsweredYes",
     {"a.bin", "b.bin:0x400000", "/l", "--answers=overlap=yes"},
     {{"a.bin", e2e::crcImage(100)}, {"b.bin", e2e::crcImage(100, 3)}},
     "",
     kOverlapQuestion,
     'y',
     0},
    {"CrcAnsweredNo",
     {"a.bin", "/l", "--answers=yes", "--answers=crc=no"},
     {{"a.bin", signedImage("abc")}},
     "",
     kCrcQuestion,
     'n',
     1},
    {"BankAnsweredNo",
     {"a.bin", "/l", "--answers=bank=no"},
     {{"a.bin", e2e::crcImage(90000)}},
     "AMD Am29DL163CB",
     kBankQuestion,
     'n',
     1},
    {"BankAnsweredYes",
     {"a.bin", "/l", "--answers=yes"},
     {{"a.bin", e2e::crcImage(90000)}},
     "AMD Am29DL163CB",
     kBankQuestion,
     'y',
     0},
};

INSTANTIATE_TEST_SUITE_P(Native, Questions, ::testing::ValuesIn(kQuestions),
                         [](const ::testing::TestParamInfo<QuestionCase>& info) {
                             return std::string(info.param.name);
                         });

// Ctrl-C while the FLASH is written: the port is released, the phone's state
// is said on standard error, and the status is 130.
TEST(ImageInput, CtrlCSaysWhatTheFlashHolds) {
    e2e::Scenario s = baseScenario();
    s.files["a.bin"] = e2e::crcImage(70000);
    s.args = {"a.bin", "/l"};
    s.phone.paceLine = true;
    s.keys = {{'\x03', "FLASH download in progress ....\n", 500}};
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 130) << r.output;
    EXPECT_TRUE(std::regex_search(
        r.errors, std::regex("^a\\.bin: [1-9][0-9]? of 69 blocks sent; its FLASH at "
                             "0x400000-0x41FFFF is incomplete and must be flashed again\n$")))
        << r.errors;
}

// A hang-up that the caller ignores (nohup) stays ignored: the run goes on.
TEST(ImageInput, AnIgnoredHangUpLeavesTheRunAlone) {
    e2e::Scenario s = baseScenario();
    s.files["a.bin"] = e2e::crcImage(70000);
    s.args = {"a.bin", "/l"};
    s.phone.paceLine = true;
    s.ignoredSignals = {SIGHUP};
    s.keys = {e2e::Key::signal(SIGHUP, "FLASH download in progress ....\n", 300)};
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.keysTyped, 1u);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.flash(0x400000, 70000), s.files["a.bin"]);
}

// Ctrl-C that arrives as a byte (a terminal without signals; the Windows
// console while a key is read) stops the run wherever a key or a line is
// read, never answers. (Wine's console on a pty takes the byte for a Ctrl-C
// event that never comes, so this runs natively.)
TEST(ImageInput, CtrlCAsAByteStopsTheRun) {
    const struct {
        const char* where;
        std::vector<std::string> args;
        std::string after;
    } cases[] = {
        {"the ENQ wait", {"a.bin", "/l"}, "Press q to Quit\n"},
        {"a question", {"bad.bin", "/l"}, kSignatureQuestion},
        {"the file-name prompt", {"missing.bin", "/l"}, "Download filename: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        e2e::Scenario s = baseScenario();
        s.files["a.bin"] = e2e::crcImage(3000);
        s.files["bad.bin"] = std::string(4000, 'x');
        s.args = c.args;
        s.phone.enq = c.args[0] != "a.bin";
        s.consoleSignals = false;
        s.keys = {{'\x03', c.after, 200, "\n"}};
        const e2e::Result r = e2e::run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 130) << r.output;
        EXPECT_FALSE(r.phone.verdict.ended) << r.phoneReport();
    }
}

// --progress: one line per 5 % instead of the glyph rows when the output is
// no terminal, the last one followed by the classic text at once, and the
// erase's seconds while it lasts; on a terminal the line is rewritten in
// place up to its 100 %, and a line from the phone starts a line of its own.
TEST(ImageInput, ProgressLines) {
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "terminal" : "log");
        e2e::Scenario s = baseScenario();
        s.files["a.bin"] = e2e::crcImage(70000);
        s.args = {"a.bin", "/l", "--progress"};
        s.phone.eraseMs = 5300;
        s.phone.eraseProgressMs = terminal ? 1500 : 0;
        s.outputOnConsole = terminal;
        const e2e::Result r = e2e::run(s);
        ASSERT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        if (terminal) {
            EXPECT_TRUE(std::regex_search(r.output, std::regex("\r  erasing: 1 s\n  ERASING ")))
                << r.output;
            EXPECT_NE(r.output.find("\r  100%  70000 of 70000 bytes"), std::string::npos);
            continue;
        }
        EXPECT_NE(r.output.find("Wait for FLASH to erase ....\n  erasing: 5 s\nFLASH erased OK\n"),
                  std::string::npos)
            << r.output;
        const size_t start = r.output.find("FLASH download in progress ....\n");
        const size_t end = r.output.find(" left\nFLASH download complete\n");
        ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << r.output;
        std::istringstream lines(r.output.substr(start + 32, end + 5 - start - 32));
        const std::regex line(
            "  +([0-9]+)% +([0-9]+) of 70000 bytes  [0-9.]+ kB/s  [0-9]+:[0-9]{2} "
            "elapsed  [0-9]+:[0-9]{2} left");
        std::vector<int> percents;
        for (std::string text; std::getline(lines, text);) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(text, m, line)) << text;
            percents.push_back(std::stoi(m[1]));
        }
        ASSERT_EQ(percents.size(), 20u) << r.output;
        for (size_t i = 0; i < percents.size(); ++i)
            EXPECT_EQ(percents[i] / 5, static_cast<int>(i + 1)) << percents[i];
    }
}

TEST(ImageInput, KeysTypedAheadAnswerNoLaterQuestion) {
    e2e::Scenario s = baseScenario();
    // Neither signature nor CRC: two questions. The Enter typed with the
    // first answer must not answer the second.
    s.files["a.bin"] = std::string(4000, 'x');
    s.args = {"a.bin", "/l"};
    s.keys = {{'y', kSignatureQuestion, 0, "\n"}, {'n', kCrcQuestion}};
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.keysTyped, 2u) << r.output;
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(r.output.find("\n" + kCrcQuestion + "n\n"), std::string::npos) << r.output;
}

TEST(ImageInput, MissingFilePromptsAndEndOfInputStops) {
    e2e::Scenario s = baseScenario();
    s.files["real.bin"] = e2e::crcImage(2000);
    s.args = {"missing.bin", "/l"};
    // "no" fails, then "real.bin" opens.
    s.keys = {{'n', "Download filename: "}, {'o', ""}, {'\n', ""}};
    bool first = true;
    for (char c : std::string("real.bin\n")) {
        s.keys.push_back({c, first ? "Download filename: " : ""});
        first = false;
    }
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("\nOpening 'missing.bin' ....Failed\n\nDownload filename: "),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Could not open: no\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Filename:     missing.bin\nSize (bytes): 2000\n"), std::string::npos);
    EXPECT_EQ(r.flash(0x400000, 2000), s.files["real.bin"]);

    // Without anybody to type, the run stops instead of prompting forever.
    e2e::Scenario quiet = baseScenario();
    quiet.args = {"missing.bin", "/l"};
    // Ctrl-D on an empty line: the end of the console input.
    quiet.keys = {{'\x04', "Download filename: ", 300}};
    const e2e::Result q = e2e::run(quiet);
    ASSERT_FALSE(q.timedOut) << q.output;
    EXPECT_EQ(q.exitStatus, 1) << q.output;
    EXPECT_NE(q.output.find("The run stops."), std::string::npos) << q.output;
}

TEST(ImageEdges, EmptyImageIsVerifiedWithoutBlocks) {
    e2e::Scenario s = baseScenario();
    s.files["empty.bin"] = "";
    s.args = {"empty.bin", "/l", "/t:k52"};
    s.files["k52.s37"] = e2e::sampleLoader();
    s.keys = {{'y', "Continue anyway [y/n]"}};
    const e2e::Result r = e2e::run(s);
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("FLASH download in progress ....\n\nFLASH download complete\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("File checksum:  0x00000000\nFLASH checksum: 0x00000000\n"
                            "File CRC:       0xFFFF\nFLASH CRC:      0xFFFF\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Blocks), "");
}

}  // namespace
