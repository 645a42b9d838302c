// The virtual phone: boot ROM, flash loader, flash memory and infrared dongle
// as one state machine. Bytes go in with the line settings the tool's port had
// and the time they arrived; bytes come out when their time has come. Nothing
// here touches a device, so tests drive it directly and the pty server drives
// it for real programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/flash_memory.h"
#include "sim/phone_config.h"
#include "sim/sums.h"
#include "sim/transcript.h"

namespace sim {

// What the phone saw of one image.
struct ImageRecord {
    uint32_t address = 0;
    uint32_t size = 0;
    bool erased = false;
    uint32_t blocks = 0;
    uint32_t dataBlocks = 0;
    uint32_t blankBlocks = 0;
    uint32_t zeroBlocks = 0;
    bool complete = false;         // every block of the announced size arrived
    std::optional<Sums> reported;  // what C and R answered (after any fault)
};

// How the run looked from the phone's side.
struct Verdict {
    bool ended = false;                   // the end-of-run command arrived
    bool hungUp = false;                  // the phone disappeared on purpose
    std::vector<std::string> violations;  // what the tool did wrong
    std::vector<std::string> notes;       // refusals and other events worth knowing
    bool wellFormed() const { return ended && violations.empty(); }
};

class PhoneModel {
public:
    // The flash is shared so that it outlives one run (a phone keeps its flash).
    PhoneModel(const PhoneConfig& config, std::shared_ptr<FlashMemory> flash, Micros now);

    // Bytes from the tool, with the settings its port had when they arrived.
    void receive(const uint8_t* data, size_t length, const LineSettings& line, Micros now);
    // Lets time pass: ENQ announcements, a short block that looked like a marker.
    void advance(Micros now);
    // Up to maxBytes bytes whose time has come, as the tool's port at `line`
    // receives them (garbled when the settings differ). Records them.
    std::string takeOutput(const LineSettings& line, Micros now, size_t maxBytes = SIZE_MAX);
    // True when output is waiting (due or not).
    bool outputPending() const { return !output_.empty(); }
    // True when output is waiting whose time has come.
    bool outputDue(Micros now) const { return !output_.empty() && output_.front().due <= now; }
    // The next moment something happens without new input, if any.
    std::optional<Micros> nextEvent() const;

    bool hungUp() const { return verdict_.hungUp; }
    Phase phase() const { return phase_; }
    // The settings the phone (or the dongle, on infrared) listens at now.
    LineSettings listening() const;

    const Transcript& transcript() const { return transcript_; }
    const Verdict& verdict() const { return verdict_; }
    const std::vector<ImageRecord>& images() const { return images_; }
    const FlashMemory& flash() const { return *flash_; }
    // Loader lines as the boot ROM received them (without line ends).
    const std::vector<std::string>& loaderLines() const { return loaderLines_; }
    // Bytes the S-records put into RAM, and the start address of the last
    // termination record.
    uint64_t loaderBytes() const { return loaderBytes_; }
    std::optional<uint32_t> loaderStart() const { return loaderStart_; }
    uint32_t loaderSpeed() const { return loaderSpeed_; }

private:
    struct OutputItem {
        Micros due = 0;
        uint32_t speed = 0;
        Phase phase = Phase::Rom;
        bool viaDongle = false;  // the phone's output, relayed by the dongle
        std::string bytes;
        bool hangUp = false;  // the device disappears here
    };

    void receiveByte(uint8_t byte, const LineSettings& line, Micros now);
    void phoneByte(uint8_t byte, Micros now);
    void dongleByte(uint8_t byte, Micros now);
    void romByte(uint8_t byte, Micros now);
    void srecByte(uint8_t byte, Micros now);
    void loaderByte(uint8_t byte, Micros now);
    void blockByte(uint8_t byte, Micros now);

    void romCommand(const std::string& command, Micros now);
    void srecLine(std::string line, Micros now);
    void loaderLineEnd(bool crlf, Micros now);
    void loaderCommand(const std::string& line, Micros now);
    void finishBlock(size_t length, Micros now);

    // Queues reply lines (each gets CR LF) at the phone's current speed.
    void reply(const std::vector<std::string>& lines, Micros now, Micros extraDelay = 0);
    void send(const std::string& bytes, Micros due, Phase phase);
    // Counts a command and applies hang-up, silence and ERROR; false when
    // the normal reply must not follow.
    bool fault(const std::string& command, const std::string& echo, Micros now);
    void violation(const std::string& text);
    void note(const std::string& text);
    LineSettings phoneLine() const;

    PhoneConfig config_;
    std::shared_ptr<FlashMemory> flash_;
    Transcript transcript_;
    Verdict verdict_;
    Phase phase_;
    std::deque<OutputItem> output_;

    // Boot ROM.
    Micros nextEnq_ = 0;
    std::string line_;
    bool lineOverflow_ = false;
    int csWidth_ = 0;  // 0: no CS set-up yet
    bool ramFailed_ = false;
    bool ramPassed_ = false;
    std::optional<int> identity_;
    bool srecEnded_ = false;
    std::vector<std::string> loaderLines_;
    uint64_t loaderBytes_ = 0;
    std::optional<uint32_t> loaderStart_;
    bool crReported_ = false;

    // Flash loader.
    uint32_t loaderSpeed_ = 115200;
    std::optional<uint32_t> address_;
    std::optional<uint32_t> size_;
    bool erasedCurrent_ = false;
    std::optional<Micros> eraseEnd_;
    std::optional<Micros> crDeadline_;
    uint32_t remaining_ = 0;
    uint32_t blockOffset_ = 0;
    std::string block_;
    std::optional<Micros> markerDeadline_;
    std::vector<ImageRecord> images_;

    // Dongle.
    bool dongleCommand_ = false;
    std::string dongleSequence_;
    uint32_t dongleSpeed_ = 9600;

    // Counters for triggers and byte faults.
    std::vector<std::pair<std::string, uint32_t>> occurrences_;
    uint64_t inCount_[7] = {};
    uint64_t outCount_[7] = {};
    bool rawReported_ = false;
};

// The byte a listener at other line settings makes of a sent byte: never a
// printable character, CR, LF, 0x81 or a dongle acknowledgement.
uint8_t garble(uint8_t byte);

}  // namespace sim
