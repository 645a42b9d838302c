// Throughput of the checksum and CRC pass over an image file: it runs before
// every image, so it must stay far faster than the line (at most 46 KB/s).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/image.h"

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 64;
    FILE* file = std::tmpfile();
    if (file == nullptr) return 1;
    std::vector<unsigned char> chunk(1 << 20);
    unsigned x = 1;
    for (auto& b : chunk)
        b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    for (long i = 0; i < megabytes; ++i)
        std::fwrite(chunk.data(), 1, chunk.size(), file);
    std::fflush(file);

    double best = 1e9;
    ImageSums sums{};
    for (int round = 0; round < 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        sums = computeImageSums(file);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    std::printf("image sums: %ld MiB in %.3f s = %.0f MiB/s (checksum 0x%08X crc 0x%04X)\n",
                megabytes, best, static_cast<double>(megabytes) / best, sums.checksum,
                unsigned{sums.crc});
    return 0;
}
