// The checks of up to four images: contents, addresses and console answers
// from the input. Every image that passes its checks must carry the sums of
// a plain byte-by-byte model, and a refusal may only end the run.
//
// Input: a header byte (images: low two bits + 1; 0x04: rb7), then per image
// a 4-byte address and a 2-byte length with that many content bytes, then the
// console's answers.
#include <string>
#include <vector>

#include "app/image.h"
#include "app/run_state.h"
#include "tests/app/fake_port.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzSetUp();
    if (size == 0) return 0;
    const size_t count = (data[0] & 0x03) + 1;
    size_t at = 1;
    std::vector<std::string> contents;
    std::vector<std::string> paths;
    FakePort fake;
    startRun(&fake);
    run().runConfig.target = (data[0] & 0x04) != 0 ? TargetRb7 : TargetK52;
    for (size_t i = 0; i < count && at + 6 <= size; ++i) {
        uint32_t address = 0;
        for (int k = 0; k < 4; ++k)
            address |= uint32_t{data[at++]} << (8 * k);
        size_t length = data[at] | size_t{data[at + 1]} << 8;
        at += 2;
        length = std::min(length, size - at);
        contents.emplace_back(reinterpret_cast<const char*>(data) + at, length);
        at += length;
        paths.push_back(scratchFile("image" + std::to_string(i) + ".bin", contents.back()));
        run().runConfig.imageAddresses[i] = static_cast<int32_t>(address);
        ++run().runConfig.imageCount;
    }
    for (size_t i = 0; i < paths.size(); ++i)
        run().runConfig.imageNames[i] = paths[i].c_str();
    feedConsole(std::string(reinterpret_cast<const char*>(data) + at, size - at));

    for (int32_t i = 0; i < run().runConfig.imageCount; ++i) {
        ImageSums sums{};
        try {
            sums = checkImage(run().runConfig, i);
        } catch (const RunStopped& stopped) {
            // 130: a Ctrl-C among the answers.
        require(stopped.status == 1 || stopped.status == 130, "the abort path ends with 1 or 130");
            break;
        }
        const ModelSums model = modelSums(contents[static_cast<size_t>(i)]);
        require(sums.checksum == model.checksum, "the checksum of the bytes");
        require(sums.crc == model.crc, "the CRC of the bytes");
        require(run().currentImage.size ==
                    static_cast<int32_t>(contents[static_cast<size_t>(i)].size()),
                "the size of the file");
        require(std::ftell(run().currentImage.stream) == 0,
                "the file at its start for the transfer");
    }
    startRun(nullptr);
    return 0;
}
