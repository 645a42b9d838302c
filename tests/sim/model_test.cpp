// The phone model driven in-process: every boot ROM and flash loader exchange,
// S-record checks, the reported checksum and CRC, markers, line speeds, the
// dongle, and each fault switch.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/phone_model.h"
#include "sim/samples.h"
#include "sim/sums.h"

namespace {

using sim::Phase;

constexpr uint32_t kRom = 38400;
constexpr uint32_t kLoader = 115200;

// The tool's side of the line, with a clock that only moves when told.
class Tool {
public:
    explicit Tool(const sim::PhoneConfig& config = quietRom())
        : flash_(std::make_shared<sim::FlashMemory>(config.flashBase, config.flashSize,
                                                    config.flashBlank)),
          model_(config, flash_, now_) {}

    static sim::PhoneConfig quietRom() {
        sim::PhoneConfig config;
        config.enq = false;
        return config;
    }

    // Sends at `speed`, lets `ms` pass, returns what a port at `speed` reads.
    std::string talk(const std::string& bytes, uint32_t speed, uint32_t ms = 1) {
        sim::LineSettings line;
        line.speed = speed;
        model_.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), line, now_);
        return wait(ms, speed);
    }
    std::string wait(uint32_t ms, uint32_t speed) {
        sim::LineSettings line;
        line.speed = speed;
        std::string out;
        for (uint32_t i = 0; i < ms; ++i) {
            now_ += 1000;
            model_.advance(now_);
            out += model_.takeOutput(line, now_);
        }
        return out;
    }

    // The boot ROM stage and the loader upload, as the tool does them.
    void bootToLoader() {
        ASSERT_EQ(talk("AT04\r", kRom), "ITEST=011\r\nOK\r\n");
        ASSERT_EQ(talk("AT01=0005,0005\r", kRom), "OK\r\n");
        ASSERT_EQ(talk("AT05=20,08\r", kRom), "ERAM TestPass\r\n");
        ASSERT_EQ(talk("AT**3\r", kRom), "Download\r\n");
        const std::string file = sim::makeSampleLoader(0x80000, 256);
        size_t start = 0;
        while (start < file.size()) {
            const size_t end = file.find('\n', start) + 1;
            ASSERT_EQ(talk(file.substr(start, end - start), kLoader), ".");
            start = end;
        }
        ASSERT_EQ(model_.phase(), Phase::Srec);
    }

    // One image as the tool sends it: L, S, E, B, the blocks, C and R.
    // Returns the reported checksum and CRC lines.
    std::string writeImage(const std::string& image, uint32_t address, uint32_t speed = kLoader) {
        std::string out;
        out += talk("AT##L=0x" + hex(address) + "\r\n", speed);
        out += talk("AT##S=0x" + hex(static_cast<uint32_t>(image.size())) + "\r\n", speed);
        out += talk("AT##E\r\n", speed, 100);
        out += talk("AT##B\r\n", speed);
        for (size_t at = 0; at < image.size(); at += 1024) {
            const std::string block = image.substr(at, 1024);
            if (block.find_first_not_of('\xFF') == std::string::npos)
                out += talk("__BLANKBLANK__", speed);
            else if (block.find_first_not_of('\0') == std::string::npos)
                out += talk("__ZERO__ZERO__", speed);
            else
                out += talk(block, speed, block.size() < 14 ? 30 : 1);
        }
        out += talk("AT##C\r\n", speed);
        out += talk("AT##R\r\n", speed);
        return out;
    }

    static std::string hex(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "%X", value);
        return text;
    }

    sim::PhoneModel& model() { return model_; }
    const sim::FlashMemory& flash() const { return *flash_; }
    const std::vector<std::string>& violations() const { return model_.verdict().violations; }

private:
    sim::Micros now_ = 1000000;
    std::shared_ptr<sim::FlashMemory> flash_;
    sim::PhoneModel model_;
};

std::string sumsReply(const std::string& bytes, uint32_t checksumXor = 0, uint16_t crcXor = 0) {
    const auto sums =
        sim::computeSums(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X\r\nOK\r\n0x%04X\r\nOK\r\n",
                  sums.checksum ^ checksumXor, static_cast<unsigned>(sums.crc ^ crcXor));
    return text;
}

// Every image reply before C and R: L, S, E, B and one OK per block.
std::string okReplies(size_t blocks) {
    std::string out;
    for (size_t i = 0; i < 4 + blocks; ++i)
        out += "OK\r\n";
    return out;
}

TEST(BootRom, Exchanges) {
    struct Case {
        const char* name;
        void (*setUp)(sim::PhoneConfig&);
        std::string command;
        std::string reply;
    };
    const Case cases[] = {
        {"probe", [](sim::PhoneConfig&) {}, "AT\r", "OK\r\n"},
        {"probe with stray LF", [](sim::PhoneConfig&) {}, "\nAT\r", "OK\r\n"},
        {"identity", [](sim::PhoneConfig&) {}, "AT04\r", "ITEST=011\r\nOK\r\n"},
        {"other identity", [](sim::PhoneConfig& c) { c.itest = "ITEST:007"; }, "AT04\r",
         "ITEST:007\r\nOK\r\n"},
        {"no identity", [](sim::PhoneConfig& c) { c.itest.clear(); }, "AT04\r", "OK\r\n"},
        {"echo", [](sim::PhoneConfig& c) { c.echo = true; }, "AT04\r",
         "AT04\r\nITEST=011\r\nOK\r\n"},
        {"8-bit CS", [](sim::PhoneConfig&) {}, "AT01=0005,0005\r", "OK\r\n"},
        {"unknown", [](sim::PhoneConfig&) {}, "AT99\r", "ERROR\r\n"},
        {"unknown CS", [](sim::PhoneConfig&) {}, "AT01=0007,0007\r", "ERROR\r\n"},
        {"loader command to the ROM", [](sim::PhoneConfig&) {}, "AT##V\r", "ERROR\r\n"},
        {"start", [](sim::PhoneConfig&) {}, "AT**3\r", "Download\r\n"},
        {"start with lines",
         [](sim::PhoneConfig& c) {
             c.startLines = {"OK", "NEXT"};
         },
         "AT**3\r", "OK\r\nNEXT\r\nDownload\r\n"},
        {"too long", [](sim::PhoneConfig&) {}, "AT" + std::string(100, '0') + "\r", "ERROR\r\n"},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config = Tool::quietRom();
        c.setUp(config);
        Tool tool(config);
        EXPECT_EQ(tool.talk(c.command, kRom), c.reply) << c.name;
    }
}

TEST(BootRom, EnqUntilAnswered) {
    sim::PhoneConfig config;
    config.enqIntervalMs = 10;
    Tool tool(config);
    EXPECT_EQ(tool.wait(35, kRom), std::string(4, '\x81'));
    // Other bytes do not stop the announcement; 0x7E does.
    EXPECT_EQ(tool.talk("x", kRom, 10), std::string(1, '\x81'));
    EXPECT_EQ(tool.talk("\x7E", kRom, 50), "");
    EXPECT_EQ(tool.talk("AT\r", kRom), "OK\r\n");
    EXPECT_EQ(tool.model().transcript().bytes(true, Phase::Enq), "x\x7E");

    // A tool that skips the answer and starts with a command ends it too.
    Tool skipping(config);
    EXPECT_EQ(skipping.wait(5, kRom), "\x81");
    EXPECT_EQ(skipping.talk("AT\r", kRom, 50), "OK\r\n");

    // A ROM that waits silently.
    Tool silent(Tool::quietRom());
    EXPECT_EQ(silent.wait(200, kRom), "");
}

TEST(BootRom, RamTests) {
    struct Case {
        const char* name;
        sim::RamVerdict ram;
        sim::EramStyle style;
        std::vector<std::pair<std::string, std::string>> exchange;
        size_t violations;
    };
    using R = sim::RamVerdict;
    using S = sim::EramStyle;
    const Case cases[] = {
        {"pass",
         R::Pass,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM TestPass\r\n"}},
         0},
        {"pass spaced",
         R::Pass,
         S::Spaced,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM Test: Pass\r\n"}},
         0},
        {"fail twice",
         R::Fail,
         S::Spaced,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM Test: Fail\r\n"},
          {"AT01=0015,0015\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM Test: Fail\r\n"}},
         0},
        {"needs the 16-bit set-up",
         R::Need16Bit,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM TestFail\r\n"},
          {"AT01=0015,0015\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM TestPass\r\n"},
          {"AT**3\r", "Download\r\n"}},
         0},
        {"no verdict",
         R::NoVerdict,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM TestBusy\r\n"}},
         0},
        {"test that does not suit the identity",
         R::Pass,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=00,07\r", "ERAM TestPass\r\n"}},
         1},
        {"test without CS set-up and identity",
         R::Pass,
         S::Joined,
         {{"AT05=20,08\r", "ERAM TestPass\r\n"}},
         2},
        {"16-bit set-up without a failure",
         R::Pass,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"}, {"AT01=0015,0015\r", "OK\r\n"}},
         1},
        {"start without a passed test",
         R::Fail,
         S::Joined,
         {{"AT04\r", "ITEST=011\r\nOK\r\n"},
          {"AT01=0005,0005\r", "OK\r\n"},
          {"AT05=20,08\r", "ERAM TestFail\r\n"},
          {"AT**3\r", "Download\r\n"}},
         1},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config = Tool::quietRom();
        config.ram = c.ram;
        config.eramStyle = c.style;
        Tool tool(config);
        for (const auto& [command, reply] : c.exchange)
            EXPECT_EQ(tool.talk(command, kRom), reply) << c.name << ": " << command;
        EXPECT_EQ(tool.violations().size(), c.violations) << c.name;
    }
}

TEST(BootRom, IdentityBelowElevenWantsTheOtherTest) {
    for (const auto& [token, test, ok] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"ITEST=010", "AT05=00,07\r", true},
             {"ITEST=010", "AT05=20,08\r", false},
             {"ITEST=11", "AT05=20,08\r", true},
             {"ITEST 2", "AT05=00,07\r", true},
             {"ITEST=1234", "AT05=20,08\r", true}}) {
        sim::PhoneConfig config = Tool::quietRom();
        config.itest = token;
        Tool tool(config);
        tool.talk("AT04\r", kRom);
        tool.talk("AT01=0005,0005\r", kRom);
        tool.talk(test, kRom);
        EXPECT_EQ(tool.violations().empty(), ok) << token << " " << test;
    }
}

TEST(Srec, EveryLineAcknowledged) {
    struct Case {
        const char* name;
        std::string line;
        std::string reply;
        size_t violations;
    };
    const Case cases[] = {
        {"data", "S30900080000DEADBEEFB6\n", ".", 0},
        {"header", "S00600004844521B\n", ".", 0},
        {"blank line", "\n", ".", 0},
        {"bad checksum", "S30900080000DEADBEEFB7\n", "S-RECORD ERROR: BAD CHECKSUM\r\n.", 1},
        {"not a record", "hello\n", "S-RECORD ERROR: NO RECORD\r\n.", 1},
        {"CR LF line end", "S30900080000DEADBEEFB6\r\n", ".", 1},
        {"too long", "S3" + std::string(700, '0') + "\n", "S-RECORD ERROR: LINE TOO LONG\r\n.", 1},
        {"loader command too early", "AT\r\n", "S-RECORD ERROR: NO RECORD\r\n.", 2},
    };
    for (const auto& c : cases) {
        Tool fresh;
        fresh.talk("AT04\r", kRom);
        fresh.talk("AT01=0005,0005\r", kRom);
        fresh.talk("AT05=20,08\r", kRom);
        fresh.talk("AT**3\r", kRom);
        EXPECT_EQ(fresh.talk(c.line, kLoader), c.reply) << c.name;
        EXPECT_EQ(fresh.violations().size(), c.violations) << c.name;
        EXPECT_EQ(fresh.model().loaderLines().size(), 1u) << c.name;
    }
}

TEST(Srec, TerminationStartsTheLoader) {
    Tool tool;
    tool.bootToLoader();
    EXPECT_EQ(tool.model().loaderBytes(), 256u);
    ASSERT_TRUE(tool.model().loaderStart().has_value());
    EXPECT_EQ(*tool.model().loaderStart(), 0x80000u);
    // A blank line left in the file is still acknowledged by the ROM.
    EXPECT_EQ(tool.talk("\n", kLoader), ".");
    // A record after the end is a fault of the file.
    EXPECT_EQ(tool.talk("S9030000FC\n", kLoader), "S-RECORD AFTER END\r\n.");
    EXPECT_EQ(tool.violations().size(), 1u);
    EXPECT_EQ(tool.talk("AT\r\n", kLoader), "OK\r\n");
    EXPECT_EQ(tool.model().phase(), Phase::Loader);
    EXPECT_EQ(tool.model().transcript().bytes(true, Phase::Loader), "AT\r\n");
}

TEST(Loader, Exchanges) {
    struct Case {
        const char* name;
        void (*setUp)(sim::PhoneConfig&);
        std::string command;
        std::string reply;
        size_t violations;
    };
    const Case cases[] = {
        {"probe", [](sim::PhoneConfig&) {}, "AT\r\n", "OK\r\n", 0},
        {"version", [](sim::PhoneConfig&) {}, "AT##V\r\n", "FLASH LOADER V2.04\r\nOK\r\n", 0},
        {"echo", [](sim::PhoneConfig& c) { c.echo = true; }, "AT##V\r\n",
         "AT##V\r\nFLASH LOADER V2.04\r\nOK\r\n", 0},
        {"speed", [](sim::PhoneConfig&) {}, "AT##P=0x70800\r\n", "OK\r\n", 0},
        {"speed refused", [](sim::PhoneConfig&) {}, "AT##P=0x1C200\r\n", "NEXT\r\n", 0},
        {"speed refused with ERROR", [](sim::PhoneConfig& c) { c.speedRefusal = {"ERROR"}; },
         "AT##P=0xE1000\r\n", "ERROR\r\n", 0},
        {"no speeds", [](sim::PhoneConfig& c) { c.speeds.clear(); }, "AT##P=0x70800\r\n",
         "NEXT\r\n", 0},
        {"information", [](sim::PhoneConfig&) {}, "AT##I\r\n",
         "MANUFACTURER ID 0x01\r\nDEVICE ID 0x2239\r\nOK\r\n", 0},
        {"FLASH device line",
         [](sim::PhoneConfig& c) {
             c.infoLines.clear();
             c.flashDevice = "AMD Am29DL163CB";
         },
         "AT##I\r\n", "FLASH device: AMD Am29DL163CB\r\nOK\r\n", 0},
        {"address", [](sim::PhoneConfig&) {}, "AT##L=0x400000\r\n", "OK\r\n", 0},
        {"size zero", [](sim::PhoneConfig&) {}, "AT##S=0x0\r\n", "OK\r\n", 0},
        {"lower-case value", [](sim::PhoneConfig&) {}, "AT##L=0x4000a0\r\n", "OK\r\n", 1},
        {"leading zeros", [](sim::PhoneConfig&) {}, "AT##S=0x0100\r\n", "OK\r\n", 1},
        {"no CR", [](sim::PhoneConfig&) {}, "AT##V\n", "FLASH LOADER V2.04\r\nOK\r\n", 1},
        {"H", [](sim::PhoneConfig&) {}, "AT##H=0x1\r\n", "OK\r\n", 1},
        {"unknown letter", [](sim::PhoneConfig&) {}, "AT##Q\r\n", "ERROR\r\n", 1},
        {"value missing", [](sim::PhoneConfig&) {}, "AT##L\r\n", "ERROR\r\n", 1},
        {"value where none belongs", [](sim::PhoneConfig&) {}, "AT##V=0x1\r\n", "ERROR\r\n", 1},
        {"erase without address", [](sim::PhoneConfig&) {}, "AT##E\r\n", "ERROR\r\n", 1},
        {"begin without address", [](sim::PhoneConfig&) {}, "AT##B\r\n", "ERROR\r\n", 1},
        {"end", [](sim::PhoneConfig&) {}, "AT##T\r\n", "", 0},
        {"empty line", [](sim::PhoneConfig&) {}, "\r\n", "ERROR\r\n", 1},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config;
        config.loaderRunning = true;
        c.setUp(config);
        Tool tool(config);
        EXPECT_EQ(tool.talk(c.command, kLoader, 100), c.reply) << c.name;
        EXPECT_EQ(tool.violations().size(), c.violations) << c.name;
    }
}

TEST(Loader, SpeedChangeAfterOk) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    Tool tool(config);
    EXPECT_EQ(tool.talk("AT##P=0x38400\r\n", kLoader), "OK\r\n");
    EXPECT_EQ(tool.talk("AT\r\n", kLoader, 50), "") << "the loader left 115200";
    EXPECT_EQ(tool.talk("AT\r\n", 230400), "OK\r\n");
    EXPECT_EQ(tool.model().loaderSpeed(), 230400u);
    const auto& chunks = tool.model().transcript().chunks();
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_TRUE(chunks[2].garbled);
    EXPECT_EQ(chunks[2].speed, kLoader);
    EXPECT_EQ(chunks.back().speed, 230400u);
}

TEST(Loader, EraseTakesItsTimeWithProgress) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    config.eraseMs = 100;
    config.eraseProgressMs = 30;
    Tool tool(config);
    tool.talk("AT##L=0x400000\r\n", kLoader);
    tool.talk("AT##S=0x10001\r\n", kLoader);
    EXPECT_EQ(tool.talk("AT##E\r\n", kLoader, 50), "ERASING 0x400000\r\n");
    EXPECT_EQ(tool.wait(40, kLoader), "ERASING 0x400000\r\nERASING 0x400000\r\n");
    EXPECT_EQ(tool.wait(20, kLoader), "OK\r\n");
    // Two 64 KiB units from the address, nothing more.
    EXPECT_EQ(tool.flash().read(0x400000), 0xFF);
    EXPECT_EQ(tool.flash().read(0x41FFFF), 0xFF);
    EXPECT_EQ(tool.flash().read(0x420000), tool.flash().initialByte(0x420000));
    EXPECT_EQ(tool.flash().read(0x3FFFFF), tool.flash().initialByte(0x3FFFFF));
    // Talking during the erase is a fault.
    tool.talk("AT##E\r\n", kLoader, 1);
    tool.talk("AT\r\n", kLoader, 200);
    EXPECT_EQ(tool.violations().size(), 1u);
}

TEST(Loader, ImagesWrittenAndSummed) {
    struct Case {
        const char* name;
        std::string image;
        size_t blank, zero, data;
    };
    std::string mixed(3000, '\0');
    for (size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = static_cast<char>(i * 7 + 3);
    const auto blockImage = sim::makeBlockImage("dbzdbz");
    const Case cases[] = {
        {"empty", "", 0, 0, 0},
        {"one byte", "\x42", 0, 0, 1},
        {"three zero bytes", std::string(3, '\0'), 0, 1, 0},
        {"one block", mixed.substr(0, 1024), 0, 0, 1},
        {"block and a blank byte", mixed.substr(0, 1024) + "\xFF", 1, 0, 1},
        {"mixed 0x00 and 0xFF", std::string(512, '\0') + std::string(512, '\xFF'), 0, 0, 1},
        {"3000 bytes", mixed, 0, 0, 3},
        {"block image", std::string(blockImage.begin(), blockImage.end()), 2, 2, 3},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config;
        config.loaderRunning = true;
        Tool tool(config);
        const uint32_t address = 0x612340;
        const size_t blocks = (c.image.size() + 1023) / 1024;
        EXPECT_EQ(tool.writeImage(c.image, address), okReplies(blocks) + sumsReply(c.image))
            << c.name;
        const auto written = tool.flash().read(address, c.image.size());
        EXPECT_EQ(std::string(written.begin(), written.end()), c.image) << c.name;
        ASSERT_EQ(tool.model().images().size(), 1u);
        const auto& record = tool.model().images()[0];
        EXPECT_TRUE(record.complete) << c.name;
        EXPECT_EQ(record.blankBlocks, c.blank) << c.name;
        EXPECT_EQ(record.zeroBlocks, c.zero) << c.name;
        EXPECT_EQ(record.dataBlocks, c.data) << c.name;
        EXPECT_TRUE(tool.violations().empty()) << c.name << ": " << tool.violations()[0];
    }
}

TEST(Loader, CommandsPacedACharacterAtATime) {
    // Infrared commands come 40 ms a character: the LF is still part of B.
    sim::PhoneConfig config;
    config.loaderRunning = true;
    Tool tool(config);
    std::string out;
    for (const char* command : {"AT##L=0x400000\r\n", "AT##S=0x2\r\n", "AT##E\r\n", "AT##B\r\n"})
        for (const char* c = command; *c != '\0'; ++c)
            out += tool.talk(std::string(1, *c), kLoader, 40);
    out += tool.wait(100, kLoader);
    EXPECT_EQ(out, "OK\r\nOK\r\nOK\r\nOK\r\n");
    EXPECT_EQ(tool.model().phase(), Phase::Blocks);
    EXPECT_EQ(tool.talk("zz", kLoader), "OK\r\n");
    EXPECT_TRUE(tool.violations().empty());
}

TEST(Loader, ShortBlockThatLooksLikeAMarker) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    config.markerWaitMs = 20;
    Tool tool(config);
    tool.talk("AT##L=0x400000\r\n", kLoader);
    tool.talk("AT##S=0x3\r\n", kLoader);
    tool.talk("AT##E\r\n", kLoader, 100);
    tool.talk("AT##B\r\n", kLoader);
    // "__B" could be the start of a blank marker: the loader waits, then takes it as data.
    EXPECT_EQ(tool.talk("__B", kLoader, 10), "");
    EXPECT_EQ(tool.wait(15, kLoader), "OK\r\n");
    EXPECT_EQ(tool.flash().read(0x400000, 3), (std::vector<uint8_t>{'_', '_', 'B'}));
    // The same size as a marker is a zero block.
    tool.talk("AT##B\r\n", kLoader);
    EXPECT_EQ(tool.talk("__ZERO__", kLoader), "");
    EXPECT_EQ(tool.talk("ZERO__", kLoader), "OK\r\n");
    EXPECT_EQ(tool.model().images()[1].zeroBlocks, 1u);
}

TEST(Loader, SequenceFaultsOfTheTool) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    Tool tool(config);
    tool.talk("AT##C\r\n", kLoader);  // before any download
    tool.talk("AT##L=0x400000\r\n", kLoader);
    tool.talk("AT##S=0x4\r\n", kLoader);
    tool.talk("AT##B\r\n", kLoader);  // without erasing
    EXPECT_EQ(tool.talk("abcd", kLoader), "OK\r\n");
    // Unerased old contents show through: the sums give it away.
    const auto written = tool.flash().read(0x400000, 4);
    EXPECT_NE(std::string(written.begin(), written.end()), "abcd");
    tool.talk("AT##T\r\n", kLoader);
    tool.talk("AT\r\n", kLoader);  // after the end
    EXPECT_EQ(tool.violations().size(), 3u);
    EXPECT_TRUE(tool.model().verdict().ended);
    EXPECT_FALSE(tool.model().verdict().wellFormed());
}

TEST(Loader, OutsideTheFlashIsRefused) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    config.flashSize = 0x100000;
    Tool tool(config);
    tool.talk("AT##L=0xF8000\r\n", kLoader);
    tool.talk("AT##S=0x9000\r\n", kLoader);
    EXPECT_EQ(tool.talk("AT##E\r\n", kLoader, 100), "ERROR\r\n");
    EXPECT_TRUE(tool.violations().empty());
}

TEST(Lines, SpeedAwareness) {
    struct Case {
        const char* name;
        bool loaderRunning;
        uint32_t sendSpeed;
        uint32_t listenSpeed;
        std::string command;
        bool answered;  // a clean answer at listenSpeed
        bool garbledOut;
    };
    const Case cases[] = {
        {"ROM at its speed", false, kRom, kRom, "AT\r", true, false},
        {"ROM spoken to at 115200", false, kLoader, kLoader, "AT\r", false, false},
        {"ROM spoken to at 9600", false, 9600, 9600, "AT\r", false, false},
        {"ROM heard at 115200", false, kRom, kLoader, "AT\r", false, true},
        {"loader at its speed", true, kLoader, kLoader, "AT\r\n", true, false},
        {"loader spoken to at 38400", true, kRom, kRom, "AT\r\n", false, false},
        {"loader heard at 38400", true, kLoader, kRom, "AT\r\n", false, true},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config = Tool::quietRom();
        config.loaderRunning = c.loaderRunning;
        Tool tool(config);
        sim::LineSettings send;
        send.speed = c.sendSpeed;
        tool.model().receive(reinterpret_cast<const uint8_t*>(c.command.data()), c.command.size(),
                             send, 1000000);
        const std::string out = tool.wait(10, c.listenSpeed);
        EXPECT_EQ(out == "OK\r\n", c.answered) << c.name;
        EXPECT_EQ(out.find_first_of("\r\n.OK\x81") == std::string::npos && !out.empty(),
                  c.garbledOut)
            << c.name;
        const auto& chunks = tool.model().transcript().chunks();
        ASSERT_FALSE(chunks.empty()) << c.name;
        EXPECT_EQ(chunks[0].speed, c.sendSpeed) << c.name;
        EXPECT_EQ(chunks[0].garbled, c.sendSpeed != (c.loaderRunning ? kLoader : kRom)) << c.name;
    }
}

TEST(Lines, FrameAndRawModeMatter) {
    Tool tool;
    sim::LineSettings line;
    line.speed = kRom;
    line.parity = 'E';
    const std::string probe = "AT\r";
    tool.model().receive(reinterpret_cast<const uint8_t*>(probe.data()), probe.size(), line,
                         1000000);
    EXPECT_EQ(tool.wait(5, kRom), "") << "even parity is not the ROM's frame";
    line.parity = 'N';
    line.raw = false;
    tool.model().receive(reinterpret_cast<const uint8_t*>(probe.data()), probe.size(), line,
                         1000000);
    EXPECT_EQ(tool.wait(5, kRom), "OK\r\n");
    EXPECT_EQ(tool.violations().size(), 1u) << "a port that is not raw is the tool's fault";
}

sim::PhoneConfig dongleConfig() {
    sim::PhoneConfig config;
    config.dongle = true;
    config.enqIntervalMs = 10;
    return config;
}

const std::string kDongle38400("\x03\x46\x53\x63\x76\xD1\x56\xD0\x85\x90\x11", 11);
const std::string kDongle115200("\x03\x46\x51\x63\x76\xD1\x56\xD0\x81\x90\x11", 11);

TEST(Dongle, WakeUpAnswers) {
    struct Case {
        std::optional<uint8_t> answer;
        std::string heard;
    };
    for (const auto& c : {Case{0xF5, "\xF5"}, Case{0xF4, "\xF4"}, Case{std::nullopt, ""}}) {
        sim::PhoneConfig config = dongleConfig();
        config.dongleAnswer = c.answer;
        Tool tool(config);
        EXPECT_EQ(tool.talk("\xF0", 9600), c.heard);
        // Repeated wake-ups are answered again.
        EXPECT_EQ(tool.talk("\xF0", 9600), c.heard);
        // 0xF0 at another speed wakes nothing.
        config.enq = false;
        Tool other(config);
        EXPECT_EQ(other.talk("\xF0", kRom), "");
    }
}

TEST(Dongle, ProgrammedSpeedCarriesThePhone) {
    Tool tool(dongleConfig());
    // Before programming the dongle sits at 9600: the ROM's ENQ does not pass,
    // not even as noise.
    EXPECT_EQ(tool.wait(30, kRom), "");
    EXPECT_EQ(tool.wait(30, 9600), "");
    EXPECT_EQ(tool.talk("\xF0", 9600), "\xF5");
    EXPECT_EQ(tool.talk(kDongle38400, 9600), "");
    EXPECT_NE(tool.wait(30, kRom).find('\x81'), std::string::npos);
    // A tool whose port is still at 9600 hears the relayed ENQ as garbage.
    EXPECT_EQ(tool.wait(30, 9600).find_first_of("\x81\xF4\xF5"), std::string::npos);
    EXPECT_EQ(tool.talk("\x7E", kRom, 20), "");
    tool.wait(20, kRom);
    EXPECT_EQ(tool.talk("AT04\r", kRom), "ITEST=011\r\nOK\r\n");
    tool.talk("AT01=0005,0005\r", kRom);
    tool.talk("AT05=20,08\r", kRom);
    EXPECT_EQ(tool.talk("AT**3\r", kRom), "Download\r\n");
    // The phone now listens at 115200, the dongle still relays at 38400.
    EXPECT_EQ(tool.talk("S9030000FC\n", kRom), "");
    EXPECT_EQ(tool.talk("\xF0", 9600), "\xF5");
    EXPECT_EQ(tool.talk(kDongle115200, 9600), "");
    EXPECT_EQ(tool.talk("S9030000FC\n", kLoader), ".");
    EXPECT_TRUE(tool.violations().empty());
    EXPECT_EQ(tool.model().transcript().bytes(true, Phase::Dongle),
              "\xF0" + kDongle38400 + "\xF0" + kDongle115200);
}

TEST(Dongle, UnknownSequenceIsAFault) {
    Tool tool(dongleConfig());
    tool.talk("\xF0", 9600);
    std::string bad = kDongle38400;
    bad[8] = '\x99';
    tool.talk(bad, 9600);
    EXPECT_EQ(tool.violations().size(), 1u);
}

TEST(Faults, RepliesReplaced) {
    struct Case {
        const char* name;
        void (*setUp)(sim::PhoneConfig&);
        std::vector<std::string> commands;
        std::string lastReply;
        bool hungUp;
    };
    const Case cases[] = {
        {"ERROR at V",
         [](sim::PhoneConfig& c) {
             c.errorAt = {{"V", 0}};
         },
         {"AT##V\r\n"},
         "ERROR\r\n",
         false},
        {"ERROR at the second AT",
         [](sim::PhoneConfig& c) {
             c.errorAt = {{"AT", 1}};
         },
         {"AT\r\n", "AT\r\n"},
         "ERROR\r\n",
         false},
        {"first AT unharmed",
         [](sim::PhoneConfig& c) {
             c.errorAt = {{"AT", 1}};
         },
         {"AT\r\n"},
         "OK\r\n",
         false},
        {"silent at I",
         [](sim::PhoneConfig& c) {
             c.silentAt = {{"I", 0}};
         },
         {"AT##I\r\n"},
         "",
         false},
        {"hang-up at L",
         [](sim::PhoneConfig& c) {
             c.hangUpAt = {{"L", 0}};
         },
         {"AT##L=0x400000\r\n"},
         "",
         true},
        {"echo stays before ERROR",
         [](sim::PhoneConfig& c) {
             c.echo = true;
             c.errorAt = {{"V", 0}};
         },
         {"AT##V\r\n"},
         "AT##V\r\nERROR\r\n",
         false},
    };
    for (const auto& c : cases) {
        sim::PhoneConfig config;
        config.loaderRunning = true;
        c.setUp(config);
        Tool tool(config);
        std::string last;
        for (const auto& command : c.commands)
            last = tool.talk(command, kLoader, 20);
        EXPECT_EQ(last, c.lastReply) << c.name;
        EXPECT_EQ(tool.model().hungUp(), c.hungUp) << c.name;
    }
}

TEST(Faults, BlocksAndSums) {
    struct Case {
        const char* name;
        void (*setUp)(sim::PhoneConfig&);
        uint32_t checksumXor;
        uint16_t crcXor;
        bool flashMatches;
        size_t blockReplies;
    };
    const Case cases[] = {
        {"clean", [](sim::PhoneConfig&) {}, 0, 0, true, 3},
        {"wrong checksum", [](sim::PhoneConfig& c) { c.checksumXor = 0x100; }, 0x100, 0, true, 3},
        {"wrong CRC", [](sim::PhoneConfig& c) { c.crcXor = 0x8000; }, 0, 0x8000, true, 3},
        {"corrupted block byte",
         [](sim::PhoneConfig& c) {
             c.byteFaults = {{sim::ByteFaultKind::Corrupt, true, Phase::Blocks, 1500}};
         },
         0, 0, false, 3},
        {"silent at block 1",
         [](sim::PhoneConfig& c) {
             c.silentAt = {{"block", 1}};
         },
         0, 0, true, 2},
        {"ERROR at block 2",
         [](sim::PhoneConfig& c) {
             c.errorAt = {{"block", 2}};
         },
         0, 0, true, 2},
    };
    std::string image(2500, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 13 + 1);
    for (const auto& c : cases) {
        sim::PhoneConfig config;
        config.loaderRunning = true;
        c.setUp(config);
        Tool tool(config);
        const std::string out = tool.writeImage(image, 0x400000);
        const auto written = tool.flash().read(0x400000, image.size());
        const std::string flash(written.begin(), written.end());
        EXPECT_EQ(flash == image, c.flashMatches) << c.name;
        std::string expected = okReplies(c.blockReplies);
        if (c.blockReplies < 3 && std::string(c.name).find("ERROR") != std::string::npos)
            expected += "ERROR\r\n";
        EXPECT_EQ(out, expected + sumsReply(flash, c.checksumXor, c.crcXor)) << c.name;
    }
}

TEST(Faults, DroppedBlockByteLeavesTheBlockOpen) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    config.byteFaults = {{sim::ByteFaultKind::Drop, true, Phase::Blocks, 10}};
    Tool tool(config);
    tool.talk("AT##L=0x400000\r\n", kLoader);
    tool.talk("AT##S=0x400\r\n", kLoader);
    tool.talk("AT##E\r\n", kLoader, 100);
    tool.talk("AT##B\r\n", kLoader);
    EXPECT_EQ(tool.talk(std::string(1024, 'x'), kLoader, 100), "");
    EXPECT_EQ(tool.model().phase(), Phase::Blocks);
}

TEST(Faults, OutgoingBytes) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    config.byteFaults = {{sim::ByteFaultKind::Corrupt, false, Phase::Loader, 0},
                         {sim::ByteFaultKind::Drop, false, Phase::Loader, 5}};
    Tool tool(config);
    EXPECT_EQ(tool.talk("AT\r\n", kLoader), "NK\r\n");
    EXPECT_EQ(tool.talk("AT\r\n", kLoader), "O\r\n");
    EXPECT_EQ(tool.talk("AT\r\n", kLoader), "OK\r\n");
    // The transcript keeps what was sent after the fault, as the line carried it.
    EXPECT_EQ(tool.model().transcript().bytes(false), "NK\r\nO\r\nOK\r\n");
}

TEST(Faults, LoaderUploadComplaintsAndMissingDot) {
    sim::PhoneConfig config = Tool::quietRom();
    config.complainAt = {{"srec", 1}};
    config.noDotAt = {{"srec", 2}};
    config.complaint = "RECORD SKIPPED";
    Tool tool(config);
    tool.talk("AT04\r", kRom);
    tool.talk("AT01=0005,0005\r", kRom);
    tool.talk("AT05=20,08\r", kRom);
    tool.talk("AT**3\r", kRom);
    EXPECT_EQ(tool.talk("S00600004844521B\n", kLoader), ".");
    EXPECT_EQ(tool.talk("S30900080000DEADBEEFB6\n", kLoader), "RECORD SKIPPED\r\n.");
    EXPECT_EQ(tool.talk("S30900080004DEADBEEFB2\n", kLoader), "");
    EXPECT_EQ(tool.talk("S70500080000F2\n", kLoader), ".");
}

TEST(Faults, LoaderAlreadyRunning) {
    sim::PhoneConfig config;
    config.loaderRunning = true;
    Tool tool(config);
    EXPECT_EQ(tool.wait(300, kRom), "") << "no ENQ";
    EXPECT_EQ(tool.talk("AT\r", kRom), "");
    EXPECT_EQ(tool.talk("AT\r", kLoader, 100), "") << "an LF may still come";
    EXPECT_EQ(tool.wait(60, kLoader), "OK\r\n") << "the detection probe";
    EXPECT_EQ(tool.talk("AT\r\n", kLoader), "OK\r\n");
    EXPECT_TRUE(tool.violations().empty());
}

TEST(Transcript, RecordsPhasesAndSpeeds) {
    Tool tool;
    tool.bootToLoader();
    tool.talk("AT\r\n", kLoader);
    const auto& transcript = tool.model().transcript();
    EXPECT_EQ(transcript.bytes(true, Phase::Rom), "AT04\rAT01=0005,0005\rAT05=20,08\rAT**3\r");
    EXPECT_EQ(transcript.bytes(false, Phase::Rom),
              "ITEST=011\r\nOK\r\nOK\r\nERAM TestPass\r\nDownload\r\n");
    EXPECT_EQ(transcript.bytes(true, Phase::Srec), sim::makeSampleLoader(0x80000, 256));
    for (const auto& chunk : transcript.chunks()) {
        const uint32_t expected = chunk.phase == Phase::Rom ? kRom : kLoader;
        EXPECT_EQ(chunk.speed, expected) << sim::phaseName(chunk.phase);
        EXPECT_FALSE(chunk.garbled);
    }
    const auto parsed = sim::Transcript::parse(transcript.serialize());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->serialize(), transcript.serialize());
    EXPECT_EQ(parsed->bytes(true), transcript.bytes(true));
}

TEST(Transcript, LimitKeepsCounts) {
    sim::Transcript transcript(10);
    const std::string bytes(8, 'x');
    transcript.add(1, true, Phase::Blocks, kLoader, false,
                   reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    transcript.add(2, false, Phase::Blocks, kLoader, false,
                   reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(transcript.count(true), 8u);
    EXPECT_EQ(transcript.count(false), 8u);
    EXPECT_EQ(transcript.bytes(false).size(), 2u);
    EXPECT_TRUE(transcript.truncated());
    EXPECT_FALSE(sim::Transcript::parse("1 1 in nowhere 9600 0 41\n").has_value());
    EXPECT_FALSE(sim::Transcript::parse("1 1 in rom 9600 0 4\n").has_value());
    EXPECT_FALSE(sim::Transcript::parse("1 1 up rom 9600 0 41\n").has_value());
    EXPECT_TRUE(sim::Transcript::parse("1 1 in rom 9600 0 41\n").has_value());
}

TEST(Transcript, APauseStartsANewChunk) {
    sim::Transcript transcript;
    const uint8_t byte = 'x';
    for (sim::Micros t : {100, 600, 1599, 2600, 2601})
        transcript.add(t, true, Phase::Rom, kRom, false, &byte, 1);
    ASSERT_EQ(transcript.chunks().size(), 2u);
    EXPECT_EQ(transcript.chunks()[0].bytes, "xxx");
    EXPECT_EQ(transcript.chunks()[0].time, 100u);
    EXPECT_EQ(transcript.chunks()[0].lastTime, 1599u);
    EXPECT_EQ(transcript.chunks()[1].time, 2600u);
    const auto parsed = sim::Transcript::parse(transcript.serialize());
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->chunks().size(), 2u);
    EXPECT_EQ(parsed->chunks()[0].lastTime, 1599u);
    EXPECT_EQ(parsed->count(true), 5u);
}

}  // namespace
