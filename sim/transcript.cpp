#include "sim/transcript.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {
constexpr Micros kPauseUs = 1000;  // a pause this long starts a new chunk
}  // namespace

void Transcript::add(Micros time, bool toPhone, Phase phase, uint32_t speed, bool garbled,
                     const uint8_t* data, size_t length) {
    if (length == 0) return;
    (toPhone ? countIn_ : countOut_) += length;
    size_t keep = length;
    if (stored_ + keep > limit_) {
        keep = static_cast<size_t>(limit_ - stored_);
        truncated_ = true;
    }
    if (keep == 0) return;
    stored_ += keep;
    if (!chunks_.empty()) {
        TranscriptChunk& last = chunks_.back();
        if (last.toPhone == toPhone && last.phase == phase && last.speed == speed &&
            last.garbled == garbled && time >= last.lastTime && time - last.lastTime < kPauseUs) {
            last.bytes.append(reinterpret_cast<const char*>(data), keep);
            last.lastTime = time;
            return;
        }
    }
    chunks_.push_back({time, time, toPhone, phase, speed, garbled,
                       std::string(reinterpret_cast<const char*>(data), keep)});
}

std::string Transcript::bytes(bool toPhone, std::optional<Phase> phase, bool withGarbled) const {
    std::string out;
    for (const auto& chunk : chunks_) {
        if (chunk.toPhone != toPhone) continue;
        if (phase && chunk.phase != *phase) continue;
        if (chunk.garbled && !withGarbled) continue;
        out += chunk.bytes;
    }
    return out;
}

std::string Transcript::serialize() const {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const auto& chunk : chunks_) {
        out += std::to_string(chunk.time);
        out += ' ';
        out += std::to_string(chunk.lastTime);
        out += chunk.toPhone ? " in " : " out ";
        out += phaseName(chunk.phase);
        out += ' ';
        out += std::to_string(chunk.speed);
        out += chunk.garbled ? " 1 " : " 0 ";
        for (char c : chunk.bytes) {
            const auto b = static_cast<uint8_t>(c);
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
        out += '\n';
    }
    return out;
}

std::optional<Transcript> Transcript::parse(const std::string& text) {
    Transcript transcript;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string time, lastTime, direction, phase, speed, garbled, hex;
        if (!(fields >> time >> lastTime >> direction >> phase >> speed >> garbled))
            return std::nullopt;
        fields >> hex;
        auto parsedPhase = phaseFromName(phase);
        if (!parsedPhase || (direction != "in" && direction != "out") || hex.size() % 2 != 0)
            return std::nullopt;
        std::string bytes;
        for (size_t i = 0; i < hex.size(); i += 2) {
            char* end = nullptr;
            const std::string pair = hex.substr(i, 2);
            const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
            if (end != pair.c_str() + 2) return std::nullopt;
            bytes += static_cast<char>(value);
        }
        TranscriptChunk chunk;
        chunk.time = std::strtoull(time.c_str(), nullptr, 10);
        chunk.lastTime = std::strtoull(lastTime.c_str(), nullptr, 10);
        chunk.toPhone = direction == "in";
        chunk.phase = *parsedPhase;
        chunk.speed = static_cast<uint32_t>(std::strtoul(speed.c_str(), nullptr, 10));
        chunk.garbled = garbled == "1";
        chunk.bytes = bytes;
        (chunk.toPhone ? transcript.countIn_ : transcript.countOut_) += bytes.size();
        transcript.stored_ += bytes.size();
        transcript.chunks_.push_back(std::move(chunk));
    }
    return transcript;
}

}  // namespace sim
