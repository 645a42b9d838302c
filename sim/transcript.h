// Every byte that crossed the line, in both directions, with the phase the
// phone was in and the line speed; kept as runs of bytes that share these and
// follow each other without a pause of a millisecond or more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/phone_config.h"

namespace sim {

struct TranscriptChunk {
    Micros time = 0;      // when the first byte crossed
    Micros lastTime = 0;  // when the last one did
    bool toPhone = true;  // from the tool to the phone, or back
    Phase phase = Phase::Rom;
    uint32_t speed = 0;    // the tool's speed (to the phone) or the phone's (from it)
    bool garbled = false;  // the other side listened at other settings
    std::string bytes;
};

class Transcript {
public:
    Transcript() = default;
    explicit Transcript(uint64_t limit) : limit_(limit) {}

    void add(Micros time, bool toPhone, Phase phase, uint32_t speed, bool garbled,
             const uint8_t* data, size_t length);

    const std::vector<TranscriptChunk>& chunks() const { return chunks_; }
    // The bytes of one direction, optionally of one phase, as they were sent
    // (garbled ones included only when asked for).
    std::string bytes(bool toPhone, std::optional<Phase> phase = std::nullopt,
                      bool withGarbled = false) const;
    // Byte counts stay exact when the stored bytes hit the limit.
    uint64_t count(bool toPhone) const { return toPhone ? countIn_ : countOut_; }
    bool truncated() const { return truncated_; }

    // One line per chunk: "<time> <last time> <in|out> <phase> <speed> <0|1> <hex>".
    std::string serialize() const;
    static std::optional<Transcript> parse(const std::string& text);

private:
    uint64_t limit_ = UINT64_MAX;
    uint64_t stored_ = 0;
    uint64_t countIn_ = 0;
    uint64_t countOut_ = 0;
    bool truncated_ = false;
    std::vector<TranscriptChunk> chunks_;
};

}  // namespace sim
