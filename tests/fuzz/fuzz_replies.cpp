// One image written against a phone whose every reply comes from the input:
// the first byte says how many answer bytes follow for the console (low four
// bits) and whether the target is rb7 (0x10); the rest is the phone's bytes,
// one chunk (cut at 0xFF) released each time the tool writes. The transfer
// may end any way it likes, but it may report success only when the phone
// reported the file's checksum and CRC. Every line of the event stream, where
// the phone's text lands too, is one whole JSON object with its event and time.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/events.h"
#include "app/run_state.h"
#include "app/transfer.h"
#include "tests/app/fake_port.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The reply lines of one chunk, read the way the phone's lines are meant:
// a line ends at a CR and an LF next to each other (either order), a lone CR
// or LF is dropped, at most 80 characters are kept, a NUL ends the text.
std::vector<std::string> replyLines(const std::string& chunk) {
    std::vector<std::string> lines;
    std::string line;
    bool cr = false;
    bool lf = false;
    for (char c : chunk) {
        if (c == '\r' || c == '\n') {
            (c == '\r' ? cr : lf) = true;
            if (cr && lf) {
                lines.push_back(line.substr(0, line.find('\0')));
                line.clear();
                cr = lf = false;
            }
            continue;
        }
        cr = lf = false;
        if (line.size() < 80) line.push_back(c);
    }
    return lines;
}

// The number a value line carries: "0x" and hex digits, as a saturating
// 32-bit read; false for any other line.
bool valueOf(const std::string& line, uint32_t* value) {
    size_t start = line.find_first_not_of(" \t\v\f");
    if (start == std::string::npos || line.compare(start, 2, "0x") != 0) return false;
    uint64_t number = 0;
    size_t digits = 0;
    for (size_t i = start + 2;
         i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])); ++i, ++digits) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
        number = number * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (number > UINT32_MAX) number = UINT32_MAX;
    }
    *value = static_cast<uint32_t>(number);
    return digits > 0;
}

void checkEventLine(const std::string& line) {
    require(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1,
            "one event a line");
    const auto event = nlohmann::json::parse(line, nullptr, false);
    require(!event.is_discarded() && event.is_object(), "each line a JSON object");
    require(event["event"].is_string() && event["t"].is_number(), "every event has event and t");
}

std::string imageBytes() {
    std::string bytes;
    for (int i = 0; i < 1024; ++i)
        bytes.push_back(static_cast<char>(i * 37 + 11));
    bytes += std::string(1024, '\xff') + std::string(452, '\0');
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzSetUp();
    static const std::string image = imageBytes();
    static const std::string imagePath = scratchFile("image.bin", image);
    static const ModelSums sums = modelSums(image);
    if (size == 0) return 0;

    const size_t answers = std::min<size_t>(data[0] & 0x0F, size - 1);
    feedConsole(std::string(reinterpret_cast<const char*>(data) + 1, answers));
    std::vector<std::string> chunks(1);
    for (size_t i = 1 + answers; i < size; ++i) {
        if (data[i] == 0xFF) {
            chunks.emplace_back();
        } else {
            chunks.back().push_back(static_cast<char>(data[i]));
        }
    }
    for (auto& chunk : chunks)
        chunk += "\r\n";

    FakePort fake;
    startRun(&fake);
    eventsOpenSink(checkEventLine);
    run().runConfig.target = (data[0] & 0x10) != 0 ? TargetRb7 : TargetK52;
    run().runConfig.imageNames[0] = imagePath.c_str();
    run().runConfig.imageAddresses[0] = 0x400000;
    run().runConfig.imageCount = 1;
    size_t next = 0;
    fake.onWriteBlock = [&](FakePort& f, const std::string&) {
        if (next < chunks.size()) f.receive(chunks[next++]);
    };
    bool verified = false;
    try {
        verified = transferImage(run().runConfig, 0);
    } catch (const RunStopped& stopped) {
        // 130: a Ctrl-C among the answers.
        require(stopped.status == 1 || stopped.status == 130, "the abort path ends with 1 or 130");
    }
    if (verified) {
        bool checksum = false;
        bool crc = false;
        for (const auto& chunk : chunks) {
            for (const auto& line : replyLines(chunk)) {
                uint32_t value = 0;
                if (!valueOf(line, &value)) continue;
                checksum = checksum || value == sums.checksum;
                crc = crc || (value & 0xFFFFU) == sums.crc;
            }
        }
        require(checksum && crc, "success only with both sums reported and matching");
    }
    eventsClose();
    startRun(nullptr);
    return 0;
}
