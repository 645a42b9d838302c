// The phonesim program itself: its samples, its help and its refusals.
#include <gtest/gtest.h>

#include "sim/srecord.h"
#include "sim/sums.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(PhonesimCli, SamplesHelpAndBadLines) {
    TempDir dir;
    const ProcessResult samples =
        runProcess({PHONESIM_EXE, "--write-loader", dir.file("l.s37"), "--write-crc-image",
                    dir.file("c.bin"), "--image-size", "5000", "--write-block-image",
                    dir.file("b.bin"), "--block-pattern", "dzb"});
    ASSERT_EQ(samples.exitStatus, 0) << samples.output;

    const std::string loader = readFile(dir.file("l.s37"));
    ASSERT_FALSE(loader.empty());
    size_t lines = 0;
    for (size_t start = 0; start < loader.size(); ++lines) {
        const size_t end = loader.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(sim::parseRecord(loader.substr(start, end - start)).error, sim::SrecError::None);
        start = end + 1;
    }
    EXPECT_GT(lines, 2u);

    for (const auto& [name, size] :
         std::vector<std::pair<std::string, size_t>>{{"c.bin", 5000}, {"b.bin", 3 * 1024 + 100}}) {
        const std::string image = readFile(dir.file(name));
        ASSERT_EQ(image.size(), size) << name;
        EXPECT_EQ(
            sim::computeSums(reinterpret_cast<const uint8_t*>(image.data()), image.size()).crc,
            0xF0B8)
            << name;
        EXPECT_EQ(image.substr(68, 2), "\xCB\xCB") << name;
    }
    const std::string blocks = readFile(dir.file("b.bin"));
    EXPECT_EQ(blocks.substr(1024, 1024), std::string(1024, '\0'));
    EXPECT_EQ(blocks.substr(2048, 1024), std::string(1024, '\xFF'));

    const ProcessResult help = runProcess({PHONESIM_EXE, "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("--hang-up-at"), std::string::npos);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{PHONESIM_EXE, "--nonsense"},
          std::vector<std::string>{PHONESIM_EXE, "--error-at", "Z"},
          std::vector<std::string>{PHONESIM_EXE, "--write-loader", dir.file("no/such/dir/x")}}) {
        const ProcessResult r = runProcess(bad);
        EXPECT_EQ(r.exitStatus, 2) << bad[1];
        EXPECT_NE(r.output.find("phonesim:"), std::string::npos) << bad[1];
    }

    // Nobody opens the port before the time is up.
    const ProcessResult lonely = runProcess({PHONESIM_EXE, "--timeout", "1"});
    EXPECT_EQ(lonely.exitStatus, 3) << lonely.output;
    EXPECT_EQ(lonely.output.rfind("/dev/pts/", 0), 0u) << "the port's path comes first";
}

}  // namespace
