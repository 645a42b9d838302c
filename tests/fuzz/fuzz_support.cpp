#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/run_state.h"
#include "tests/app/fake_port.h"

namespace {

std::string scratchDir;

[[noreturn]] void unwind(int status) {
    throw RunStopped{status};
}

}  // namespace

void fuzzSetUp() {
    static bool done = false;
    if (done) return;
    done = true;
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    setRunExit(unwind);
    char pattern[] = "/tmp/download-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    scratchDir = pattern;
}

void startRun(FakePort* fake) {
    resetRun();
    run().runPort = fake != nullptr ? &fake->port : nullptr;
    resetFakeClock();
}

void feedConsole(const std::string& bytes) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    // Small answers only: they must fit the pipe before anybody reads.
    const size_t n = bytes.size() < 4096 ? bytes.size() : 4096;
    if (write(fds[1], bytes.data(), n) != static_cast<ssize_t>(n)) std::abort();
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
}

std::string scratchFile(const std::string& name, const std::string& bytes) {
    const std::string path = scratchDir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

ModelSums modelSums(const std::string& bytes) {
    std::string padded = bytes;
    while (padded.size() % 4 != 0)
        padded.push_back('\xff');
    ModelSums sums{0, 0xFFFF};
    for (size_t i = 0; i < padded.size(); i += 4) {
        uint32_t word = 0;
        for (size_t k = 0; k < 4; ++k)
            word |= uint32_t{static_cast<uint8_t>(padded[i + k])} << (8 * k);
        sums.checksum += word;
    }
    for (unsigned char byte : padded) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = ((sums.crc ^ (byte >> bit)) & 1U) != 0;
            sums.crc = static_cast<uint16_t>(sums.crc >> 1);
            if (low) sums.crc = static_cast<uint16_t>(sums.crc ^ 0x8408U);
        }
    }
    return sums;
}

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
}
