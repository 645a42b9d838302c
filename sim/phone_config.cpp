#include "sim/phone_config.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

const char* const kPhaseNames[] = {"enq", "rom", "srec", "loader", "blocks", "dongle", "ended"};

bool parseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// Splits "a:b:c" at colons.
std::vector<std::string> splitColons(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

}  // namespace

const char* phaseName(Phase phase) {
    const auto index = static_cast<size_t>(phase);
    return index < std::size(kPhaseNames) ? kPhaseNames[index] : "?";
}

std::optional<Phase> phaseFromName(const std::string& name) {
    for (size_t i = 0; i < std::size(kPhaseNames); ++i)
        if (name == kPhaseNames[i]) return static_cast<Phase>(i);
    return std::nullopt;
}

std::optional<Trigger> parseTrigger(const std::string& text) {
    static const char* const kCommands[] = {"AT", "AT04", "AT01", "AT05", "AT**3", "V",
                                            "P",  "L",    "S",    "I",    "E",     "B",
                                            "C",  "R",    "H",    "T",    "block", "srec"};
    const auto parts = splitColons(text);
    if (parts.empty() || parts.size() > 2) return std::nullopt;
    Trigger trigger;
    trigger.command = parts[0];
    bool known = false;
    for (const char* command : kCommands)
        known = known || trigger.command == command;
    if (!known) return std::nullopt;
    if (parts.size() == 2) {
        uint64_t n = 0;
        if (!parseNumber(parts[1], &n) || n > UINT32_MAX) return std::nullopt;
        trigger.occurrence = static_cast<uint32_t>(n);
    }
    return trigger;
}

std::string formatTrigger(const Trigger& trigger) {
    return trigger.command + ":" + std::to_string(trigger.occurrence);
}

std::optional<ByteFault> parseByteFault(const std::string& text) {
    const auto parts = splitColons(text);
    if (parts.size() != 4) return std::nullopt;
    ByteFault fault;
    if (parts[0] == "drop")
        fault.kind = ByteFaultKind::Drop;
    else if (parts[0] == "corrupt")
        fault.kind = ByteFaultKind::Corrupt;
    else
        return std::nullopt;
    if (parts[1] == "in")
        fault.toPhone = true;
    else if (parts[1] == "out")
        fault.toPhone = false;
    else
        return std::nullopt;
    auto phase = phaseFromName(parts[2]);
    if (!phase) return std::nullopt;
    fault.phase = *phase;
    if (!parseNumber(parts[3], &fault.offset)) return std::nullopt;
    return fault;
}

std::string formatByteFault(const ByteFault& fault) {
    return std::string(fault.kind == ByteFaultKind::Drop ? "drop" : "corrupt") + ":" +
           (fault.toPhone ? "in" : "out") + ":" + phaseName(fault.phase) + ":" +
           std::to_string(fault.offset);
}

}  // namespace sim
