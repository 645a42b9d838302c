#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Owns mutable copies of the arguments: the parser cuts image arguments in place.
struct Args {
    explicit Args(std::vector<std::string> list) : storage(std::move(list)) {
        storage.insert(storage.begin(), "download");
        for (auto& s : storage)
            argv.push_back(s.data());
    }
    std::vector<std::string> storage;
    std::vector<char*> argv;
    int argc() const { return static_cast<int>(argv.size()); }
};

bool parse(std::vector<std::string> list, RunConfig& config) {
    static std::vector<Args> keep;  // names point into the arguments
    keep.emplace_back(std::move(list));
    return parseCommandLine(keep.back().argc(), keep.back().argv.data(), config);
}

TEST(CommandLine, DefaultsForASingleImage) {
    RunConfig c;
    ASSERT_TRUE(parse({"image.bin"}, c));
    EXPECT_EQ(c.imageCount, 1);
    EXPECT_STREQ(c.imageNames[0], "image.bin");
    EXPECT_EQ(c.imageAddresses[0], 0x400000);
    EXPECT_EQ(c.imageLastAddresses[0], 0);
    EXPECT_EQ(c.portIndex, 1);
    EXPECT_EQ(c.target, TargetRb7);
    EXPECT_EQ(c.linkMode, LinkWire);
    EXPECT_EQ(c.loaderSearch, 0);
    EXPECT_EQ(c.loaderName, nullptr);
    EXPECT_EQ(c.downloadSpeed, 115200);
    EXPECT_EQ(c.deviceName, nullptr);
    EXPECT_FALSE(c.skipEnqWait);
}

struct ValidityCase {
    std::vector<std::string> args;
    bool valid;
};

TEST(CommandLine, Validity) {
    const std::string longArg(300, 'x');
    const ValidityCase cases[] = {
        {{}, false},
        {{"/1", "/d"}, false},
        {{"a.bin:0"}, false},
        {{"a.bin:"}, false},
        {{"a.bin:xyz"}, false},
        {{"a.bin:0x"}, false},
        {{"c:\\img\\a.bin"}, false},
        {{"a.bin", "/T:rb7"}, true},
        {{"a.bin", "/t:RB7"}, false},
        {{"a.bin", "/t:"}, false},
        {{"a.bin", "/t"}, false},
        {{"a.bin", "/t:rb7x"}, false},
        {{"a.bin", "/s:460", "/t:k52"}, false},
        {{"a.bin", "/t:k52", "/s:460"}, false},
        {{"a.bin", "/s:230"}, true},
        {{"a.bin", "/s:230", "/t:rb7dsp"}, false},
        {{"a.bin", "/s:460", "/d"}, false},
        {{"a.bin", "/s:460", "/d", "/w"}, true},
        {{"a.bin", "/s:115"}, false},
        {{"a.bin", "/S:460"}, true},
        {{"a.bin", "/0"}, false},
        {{"a.bin", "/"}, false},
        {{"a.bin", "/x"}, false},
        {{"a.bin", "/fname"}, false},
        {{"a.bin", "/f:"}, true},
        {{"a.bin", "/c:"}, false},
        {{"a.bin", "/c"}, false},
        {{"a.bin", "/c:/dev/ttyUSB0"}, true},
        {{"a.bin", "/" + longArg}, false},
        {{longArg}, true},
        {{"a.bin:" + longArg}, false},
        {{"a.bin", "/t:\xc3\xa9"}, false},
        {{"\xff\xfe.bin"}, true},
        // An empty name is an image too: it fails to open and a name is asked for.
        {{""}, true},
        {{":400000"}, true},
        {{"-x"}, true},
        {{"a.bin", "/dongle"}, true},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, true},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, false},
        // The first invalid argument ends the parse, whatever follows.
        {{"a.bin", "/q", "/s:230"}, false},
    };
    for (const auto& tc : cases) {
        RunConfig c;
        std::string shown;
        for (const auto& a : tc.args) {
            shown += '[';
            shown.append(a, 0, 20);
            shown += ']';
        }
        EXPECT_EQ(parse(tc.args, c), tc.valid) << shown;
    }
}

TEST(CommandLine, OptionsTakeEffectAndLaterOnesWin) {
    struct Case {
        std::vector<std::string> args;
        int32_t port;
        Target target;
        LinkMode link;
        int32_t search;
        int32_t speed;
        bool skipEnq;
    };
    const Case cases[] = {
        {{"a", "/1"}, 0, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/1", "/3"}, 2, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/12"}, 11, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/10"}, 9, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/1x"}, 0, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/99999999999999"}, INT32_MAX - 1, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/d", "/w"}, 1, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/w", "/D"}, 1, TargetRb7, LinkDongle, 0, 115200, false},
        {{"a", "/l"}, 1, TargetRb7, LinkWire, 1, 115200, false},
        {{"a", "/L", "/p"}, 1, TargetRb7, LinkWire, 2, 115200, false},
        {{"a", "/H"}, 1, TargetRb7, LinkWire, 0, 115200, true},
        {{"a", "/hello"}, 1, TargetRb7, LinkWire, 0, 115200, true},
        {{"a", "/t:rb7dsp"}, 1, TargetRb7Dsp, LinkWire, 0, 115200, false},
        {{"a", "/t:k52", "/t:rb7"}, 1, TargetRb7, LinkWire, 0, 115200, false},
        {{"a", "/s:460"}, 1, TargetRb7, LinkWire, 0, 460800, false},
        {{"a", "/s:460", "/s:230"}, 1, TargetRb7, LinkWire, 0, 230400, false},
    };
    for (const auto& tc : cases) {
        RunConfig c;
        ASSERT_TRUE(parse(tc.args, c)) << tc.args[1];
        EXPECT_EQ(c.portIndex, tc.port) << tc.args[1];
        EXPECT_EQ(c.target, tc.target) << tc.args[1];
        EXPECT_EQ(c.linkMode, tc.link) << tc.args[1];
        EXPECT_EQ(c.loaderSearch, tc.search) << tc.args[1];
        EXPECT_EQ(c.downloadSpeed, tc.speed) << tc.args[1];
        EXPECT_EQ(c.skipEnqWait, tc.skipEnq) << tc.args[1];
    }
}

TEST(CommandLine, ANewParseResetsEverything) {
    RunConfig c;
    ASSERT_TRUE(
        parse({"a:800000", "b", "/5", "/d", "/h", "/f:x.s37", "/l", "/t:k52", "/c:dev"}, c));
    ASSERT_TRUE(parse({"z"}, c));
    EXPECT_EQ(c.imageCount, 1);
    EXPECT_EQ(c.imageNames[1], nullptr);
    EXPECT_EQ(c.imageAddresses[1], 0);
    EXPECT_EQ(c.portIndex, 1);
    EXPECT_EQ(c.linkMode, LinkWire);
    EXPECT_EQ(c.target, TargetRb7);
    EXPECT_EQ(c.loaderSearch, 0);
    EXPECT_EQ(c.loaderName, nullptr);
    EXPECT_EQ(c.deviceName, nullptr);
    EXPECT_FALSE(c.skipEnqWait);
}

TEST(CommandLine, ImagesKeepOrderNamesAndAddresses) {
    RunConfig c;
    ASSERT_TRUE(
        parse({"afg.bin:0x400000", "/1", "afg1.bin:800000", "x.bin", "/f:", "/c:COM12"}, c));
    ASSERT_EQ(c.imageCount, 3);
    EXPECT_STREQ(c.imageNames[0], "afg.bin");
    EXPECT_EQ(c.imageAddresses[0], 0x400000);
    EXPECT_STREQ(c.imageNames[1], "afg1.bin");
    EXPECT_EQ(c.imageAddresses[1], 0x800000);
    EXPECT_STREQ(c.imageNames[2], "x.bin");
    EXPECT_EQ(c.imageAddresses[2], 0x400000);
    ASSERT_NE(c.loaderName, nullptr);
    EXPECT_STREQ(c.loaderName, "");
    EXPECT_STREQ(c.deviceName, "COM12");
    DownloadImage second = imageAt(c, 1);
    EXPECT_STREQ(second.name, "afg1.bin");
    EXPECT_EQ(second.address, 0x800000);
}

TEST(CommandLine, HexAddressesReadLikeA32BitStrtol) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"400000", 0x400000},
        {"0x400000", 0x400000},
        {"0X400000", 0x400000},
        {"  \t+0x10", 0x10},
        {"-1", -1},
        {"-0x80000000", INT32_MIN},
        {"-0x80000001", INT32_MIN},
        {"-FFFFFFFFFFFFFFFFFFFF", INT32_MIN},
        {"7fffffff", INT32_MAX},
        {"80000000", INT32_MAX},
        {"FFFFFFFFFFFFFFFFFFFFFFFF", INT32_MAX},
        {"12zz", 0x12},
        {"0xg", 0},
        {"0x", 0},
        {"", 0},
        {"-", 0},
        {"xyz", 0},
        {"\\img\\a.bin", 0},
        {"aBcD", 0xabcd},
    };
    for (const auto& tc : cases)
        EXPECT_EQ(parseHexAddress(tc.text), tc.value) << tc.text;
}

}  // namespace
