// Everything that can be set on the virtual phone: how its boot ROM, flash
// loader, flash memory and infrared dongle behave, and which faults it shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Microseconds on the caller's clock; only differences matter.
using Micros = uint64_t;

// What the phone is doing when a byte crosses the line.
enum class Phase : uint8_t {
    Enq,     // boot ROM announcing itself with 0x81
    Rom,     // boot ROM taking AT commands
    Srec,    // boot ROM taking the flash loader's S-records
    Loader,  // flash loader taking commands
    Blocks,  // flash loader taking image blocks
    Dongle,  // infrared dongle in its command state
    Ended,   // after the end-of-run command
};
const char* phaseName(Phase phase);
std::optional<Phase> phaseFromName(const std::string& name);

// Serial frame settings as the tool has set them (or as the phone uses them).
struct LineSettings {
    uint32_t speed = 9600;
    uint8_t dataBits = 8;
    char parity = 'N';
    uint8_t stopBits = 1;
    // A raw line: no echo, no canonical editing, no character translation.
    bool raw = true;

    bool sameFrame(const LineSettings& other) const {
        return speed == other.speed && dataBits == other.dataBits && parity == other.parity &&
               stopBits == other.stopBits;
    }
    // Bits on the wire per byte: start, data, parity, stop.
    uint32_t bitsPerByte() const { return 1u + dataBits + (parity == 'N' ? 0u : 1u) + stopBits; }
};

// One place in the run: the n-th (from 0) occurrence of a command.
// Commands: "AT" (probe, ROM or loader), "AT04", "AT01", "AT05", "AT**3" (boot
// ROM); "V", "P", "L", "S", "I", "E", "B", "C", "R", "H", "T" (flash loader);
// "block" (an image block, counted over the whole run); "srec" (a loader line);
// "enq" (an announcement of the boot ROM, before it is answered).
struct Trigger {
    std::string command;
    uint32_t occurrence = 0;

    bool operator==(const Trigger&) const = default;
};
std::optional<Trigger> parseTrigger(const std::string& text);  // "E", "block:5"
std::string formatTrigger(const Trigger& trigger);

enum class RamVerdict : uint8_t {
    Pass,       // every RAM test passes
    Fail,       // every RAM test fails
    Need16Bit,  // fails after the 8-bit CS set-up, passes after the 16-bit one
    NoVerdict,  // an ERAM line without a verdict
};

enum class EramStyle : uint8_t {
    Joined,  // "ERAM TestPass" / "ERAM TestFail"
    Spaced,  // "ERAM Test: Pass" / "ERAM Test: Fail"
};

enum class ByteFaultKind : uint8_t { Drop, Corrupt };

// A byte that the line loses or damages: the offset counts the bytes of one
// direction within one phase (from 0).
struct ByteFault {
    ByteFaultKind kind = ByteFaultKind::Drop;
    bool toPhone = true;  // false: on the way from the phone to the tool
    Phase phase = Phase::Blocks;
    uint64_t offset = 0;

    bool operator==(const ByteFault&) const = default;
};
std::optional<ByteFault> parseByteFault(const std::string& text);  // "drop:in:blocks:5000"
std::string formatByteFault(const ByteFault& fault);

struct PhoneConfig {
    // Boot ROM.
    bool enq = true;              // announce with 0x81 until 0x7E (off: a ROM that waits silently)
    uint32_t enqIntervalMs = 75;  //
    bool echo = false;            // echo every command as a line before the reply
    std::string itest = "ITEST=011";  // the identity token; empty: no ITEST line
    RamVerdict ram = RamVerdict::Pass;
    EramStyle eramStyle = EramStyle::Joined;
    std::vector<std::string> startLines;  // lines before "Download" (e.g. "OK", "NEXT")

    // Flash loader.
    bool loaderRunning = false;  // the loader already runs: the ROM is silent
    std::string version = "FLASH LOADER V2.04";
    std::vector<uint32_t> speeds{230400, 460800};   // accepted with P
    std::vector<std::string> speedRefusal{"NEXT"};  // reply to a speed not accepted
    std::vector<std::string> infoLines{"MANUFACTURER ID 0x01", "DEVICE ID 0x2239"};
    std::string flashDevice;       // e.g. "AMD Am29DL163CB": adds "FLASH device: <text>" to I
    uint32_t eraseMs = 50;         // time the erase takes
    uint32_t eraseProgressMs = 0;  // a progress line this often while erasing (0: none)
    uint32_t markerWaitMs = 20;    // a short block that reads like a marker's start

    // Flash memory.
    uint32_t flashBase = 0;
    uint32_t flashSize = 16u << 20;
    bool flashBlank = false;  // starts erased; else it holds old firmware, as a used phone does

    // Infrared dongle: off, or the byte it answers the wake-up byte with.
    bool dongle = false;
    std::optional<uint8_t> dongleAnswer = 0xF5;  // none: it never answers
    uint32_t dongleSpeed = 9600;                 // its speed before any programming

    // Pacing (for benchmarks): the line's byte time and the phone's thinking time.
    bool paceLine = false;
    uint32_t replyLatencyUs = 0;

    // Faults.
    std::vector<Trigger> errorAt;     // "ERROR" instead of the reply
    std::vector<Trigger> silentAt;    // no reply at all
    std::vector<Trigger> hangUpAt;    // the device disappears when this arrives
    std::vector<Trigger> complainAt;  // "srec:n": text before the '.'
    std::vector<Trigger> noDotAt;     // "srec:n": no '.'
    std::string complaint = "WARNING: RECORD IGNORED";
    uint32_t checksumXor = 0;  // reported checksum = real ^ this
    uint16_t crcXor = 0;       // reported CRC = real ^ this
    std::vector<ByteFault> byteFaults;

    // Keep at most this many bytes of traffic in the transcript (counts stay exact).
    uint64_t transcriptLimit = 64u << 20;
};

}  // namespace sim
