#include "sim/phone_model.h"

#include <cstdio>
#include <cstdlib>

#include "sim/srecord.h"

namespace sim {

namespace {

constexpr uint32_t kRomSpeed = 38400;
constexpr uint32_t kLoaderSpeed = 115200;
constexpr uint32_t kDongleCommandSpeed = 9600;
constexpr size_t kBlockSize = 1024;
constexpr size_t kMaxCommand = 64;
constexpr size_t kMaxRecordLine = 600;
constexpr size_t kMaxViolations = 200;
constexpr uint32_t kEraseUnit = 0x10000;
// A CR without its LF: long enough for a command paced at 40 ms a character.
constexpr Micros kCrWaitUs = 150000;
const std::string kBlankMarker = "__BLANKBLANK__";
const std::string kZeroMarker = "__ZERO__ZERO__";

struct DongleRow {
    uint32_t speed;
    uint8_t bytes[11];
};
const DongleRow kDongleRows[] = {
    {9600, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x87, 0x91, 0x11}},
    {19200, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x8B, 0x90, 0x11}},
    {38400, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x85, 0x90, 0x11}},
    {57600, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x82, 0x90, 0x11}},
    {115200, {0x03, 0x46, 0x51, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x81, 0x90, 0x11}},
};

LineSettings frameAt(uint32_t speed) {
    LineSettings line;
    line.speed = speed;
    return line;
}

std::string hexValue(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// The number an ITEST token carries: after "ITEST" and one separator, at most
// three characters read as a signed decimal number.
std::optional<int> identityOf(const std::string& token) {
    if (token.size() < 7 || token.compare(0, 5, "ITEST") != 0) return std::nullopt;
    const std::string field = token.substr(6, 3);
    char* end = nullptr;
    const long value = std::strtol(field.c_str(), &end, 10);
    if (end == field.c_str()) return std::nullopt;
    return static_cast<int>(value);
}

bool isMarkerPrefix(const std::string& bytes) {
    if (bytes.size() > kBlankMarker.size()) return false;
    return kBlankMarker.compare(0, bytes.size(), bytes) == 0 ||
           kZeroMarker.compare(0, bytes.size(), bytes) == 0;
}

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool isHex(char c) {
    return isUpperHex(c) || (c >= 'a' && c <= 'f');
}

}  // namespace

uint8_t garble(uint8_t byte) {
    return static_cast<uint8_t>(0xF8u | (byte & 0x07u));
}

PhoneModel::PhoneModel(const PhoneConfig& config, std::shared_ptr<FlashMemory> flash, Micros now)
    : config_(config),
      flash_(std::move(flash)),
      transcript_(config.transcriptLimit),
      phase_(config.loaderRunning ? Phase::Loader : (config.enq ? Phase::Enq : Phase::Rom)),
      nextEnq_(now),
      dongleSpeed_(config.dongleSpeed) {
    if (config_.loaderRunning) srecEnded_ = true;
}

LineSettings PhoneModel::phoneLine() const {
    switch (phase_) {
        case Phase::Enq:
        case Phase::Rom:
            return frameAt(kRomSpeed);
        case Phase::Srec:
            return frameAt(kLoaderSpeed);
        default:
            return frameAt(loaderSpeed_);
    }
}

LineSettings PhoneModel::listening() const {
    if (config_.dongle) return frameAt(dongleCommand_ ? kDongleCommandSpeed : dongleSpeed_);
    return phoneLine();
}

void PhoneModel::violation(const std::string& text) {
    if (verdict_.violations.size() < kMaxViolations) verdict_.violations.push_back(text);
}

void PhoneModel::note(const std::string& text) {
    if (verdict_.notes.size() < kMaxViolations) verdict_.notes.push_back(text);
}

void PhoneModel::receive(const uint8_t* data, size_t length, const LineSettings& line, Micros now) {
    for (size_t i = 0; i < length && !verdict_.hungUp; ++i)
        receiveByte(data[i], line, now);
}

void PhoneModel::receiveByte(uint8_t byte, const LineSettings& line, Micros now) {
    if (!line.raw && !rawReported_) {
        rawReported_ = true;
        violation("the tool's port is not raw (echo, line editing or translation is on)");
    }
    bool heard = line.sameFrame(phoneLine());
    if (config_.dongle) {
        const bool commandSpeed = line.sameFrame(frameAt(kDongleCommandSpeed));
        if (commandSpeed && (dongleCommand_ || byte == 0xF0)) {
            transcript_.add(now, true, Phase::Dongle, line.speed, false, &byte, 1);
            dongleByte(byte, now);
            return;
        }
        if (dongleCommand_) {
            transcript_.add(now, true, Phase::Dongle, line.speed, true, &byte, 1);
            return;
        }
        // The dongle relays only at its own speed, and the phone understands
        // only what comes at the speed it listens at.
        heard = line.sameFrame(frameAt(dongleSpeed_)) && dongleSpeed_ == phoneLine().speed;
    }
    // A byte that ends the ENQ phase or starts the loader belongs to the new phase.
    if (heard && byte == 'A') {
        if (phase_ == Phase::Enq) phase_ = Phase::Rom;
        if (phase_ == Phase::Srec && srecEnded_ && line_.empty()) phase_ = Phase::Loader;
    }
    transcript_.add(now, true, phase_, line.speed, !heard, &byte, 1);
    if (heard) phoneByte(byte, now);
}

void PhoneModel::phoneByte(uint8_t byte, Micros now) {
    const auto index = static_cast<size_t>(phase_);
    const uint64_t offset = inCount_[index]++;
    for (const auto& fault : config_.byteFaults) {
        if (!fault.toPhone || fault.phase != phase_ || fault.offset != offset) continue;
        if (fault.kind == ByteFaultKind::Drop) return;
        byte ^= 0x01;
    }
    switch (phase_) {
        case Phase::Enq:
        case Phase::Rom:
            romByte(byte, now);
            break;
        case Phase::Srec:
            srecByte(byte, now);
            break;
        case Phase::Loader:
            loaderByte(byte, now);
            break;
        case Phase::Blocks:
            blockByte(byte, now);
            break;
        case Phase::Ended:
            if (offset == 0) violation("bytes after the end-of-run command");
            break;
        case Phase::Dongle:
            break;
    }
}

void PhoneModel::dongleByte(uint8_t byte, Micros now) {
    const bool wakeUp = !dongleCommand_ || (dongleSequence_.empty() && byte == 0xF0);
    if (wakeUp) {
        dongleCommand_ = true;
        dongleSequence_.clear();
        if (config_.dongleAnswer) {
            OutputItem item;
            item.due = now;
            item.speed = kDongleCommandSpeed;
            item.phase = Phase::Dongle;
            item.bytes.assign(1, static_cast<char>(*config_.dongleAnswer));
            output_.push_back(item);
        }
        return;
    }
    dongleSequence_ += static_cast<char>(byte);
    if (dongleSequence_.size() < 11) return;
    dongleCommand_ = false;
    for (const auto& row : kDongleRows) {
        if (dongleSequence_ == std::string(reinterpret_cast<const char*>(row.bytes), 11)) {
            dongleSpeed_ = row.speed;
            note("dongle set to " + std::to_string(row.speed));
            return;
        }
    }
    violation("the dongle got an unknown set-up sequence");
}

void PhoneModel::send(const std::string& bytes, Micros due, Phase phase) {
    OutputItem item;
    item.due = due;
    item.speed = phoneLine().speed;
    item.phase = phase;
    item.viaDongle = config_.dongle;
    item.bytes = bytes;
    output_.push_back(item);
}

void PhoneModel::reply(const std::vector<std::string>& lines, Micros now, Micros extraDelay) {
    std::string bytes;
    for (const auto& line : lines)
        bytes += line + "\r\n";
    send(bytes, now + config_.replyLatencyUs + extraDelay, phase_);
}

bool PhoneModel::fault(const std::string& command, const std::string& echo, Micros now) {
    uint32_t occurrence = 0;
    bool found = false;
    for (auto& entry : occurrences_) {
        if (entry.first == command) {
            occurrence = entry.second++;
            found = true;
        }
    }
    if (!found) occurrences_.emplace_back(command, 1);
    const Trigger here{command, occurrence};
    auto listed = [&here](const std::vector<Trigger>& triggers) {
        for (const auto& t : triggers)
            if (t == here) return true;
        return false;
    };
    if (listed(config_.hangUpAt)) {
        verdict_.hungUp = true;
        output_.clear();
        note("hung up at " + formatTrigger(here));
        return false;
    }
    if (config_.echo && !echo.empty()) reply({echo}, now);
    if (listed(config_.silentAt)) {
        note("silent at " + formatTrigger(here));
        return false;
    }
    if (listed(config_.errorAt)) {
        note("ERROR at " + formatTrigger(here));
        reply({"ERROR"}, now);
        return false;
    }
    return true;
}

void PhoneModel::romByte(uint8_t byte, Micros now) {
    if (phase_ == Phase::Enq) {
        if (byte == 0x7E) phase_ = Phase::Rom;
        return;  // anything else is noise to a ROM that is still announcing
    }
    if (byte == '\n' && line_.empty()) return;
    if (byte == '\r') {
        const std::string command = line_;
        const bool overflow = lineOverflow_;
        line_.clear();
        lineOverflow_ = false;
        if (overflow) {
            violation("boot ROM command too long");
            reply({"ERROR"}, now);
            return;
        }
        romCommand(command, now);
        return;
    }
    if (line_.size() < kMaxCommand)
        line_ += static_cast<char>(byte);
    else
        lineOverflow_ = true;
}

void PhoneModel::romCommand(const std::string& command, Micros now) {
    std::string key;
    if (command == "AT" || command == "AT04" || command == "AT**3")
        key = command;
    else if (command.rfind("AT01=", 0) == 0)
        key = "AT01";
    else if (command.rfind("AT05=", 0) == 0)
        key = "AT05";
    if (!fault(key, command, now)) return;

    if (command == "AT") {
        reply({"OK"}, now);
    } else if (command == "AT04") {
        std::vector<std::string> lines;
        if (!config_.itest.empty()) lines.push_back(config_.itest);
        lines.push_back("OK");
        identity_ = identityOf(config_.itest);
        reply(lines, now);
    } else if (command == "AT01=0005,0005" || command == "AT01=0015,0015") {
        const int width = command == "AT01=0005,0005" ? 8 : 16;
        if (width == 16 && !ramFailed_)
            violation("16-bit CS set-up without a failed RAM test before it");
        csWidth_ = width;
        reply({"OK"}, now);
    } else if (command == "AT05=00,07" || command == "AT05=20,08") {
        if (csWidth_ == 0) violation("RAM test before any CS set-up");
        if (identity_) {
            const char* expected = *identity_ < 11 ? "AT05=00,07" : "AT05=20,08";
            if (command != expected)
                violation("RAM test " + command + " does not suit IROM identity " +
                          std::to_string(*identity_));
        } else if (!config_.itest.empty()) {
            violation("RAM test before the IROM identity was read");
        }
        const bool pass = config_.ram == RamVerdict::Pass ||
                          (config_.ram == RamVerdict::Need16Bit && csWidth_ == 16);
        const bool joined = config_.eramStyle == EramStyle::Joined;
        std::string line;
        if (config_.ram == RamVerdict::NoVerdict)
            line = joined ? "ERAM TestBusy" : "ERAM Test: Busy";
        else if (pass)
            line = joined ? "ERAM TestPass" : "ERAM Test: Pass";
        else
            line = joined ? "ERAM TestFail" : "ERAM Test: Fail";
        if (pass)
            ramPassed_ = true;
        else
            ramFailed_ = true;
        reply({line}, now);
    } else if (command == "AT**3") {
        if (!ramPassed_) violation("start of the transfer without a passed RAM test");
        std::vector<std::string> lines = config_.startLines;
        lines.push_back("Download");
        reply(lines, now);
        phase_ = Phase::Srec;
    } else {
        violation("unknown boot ROM command '" + command + "'");
        reply({"ERROR"}, now);
    }
}

void PhoneModel::srecByte(uint8_t byte, Micros now) {
    if (byte == '\n') {
        std::string line = line_;
        const bool overflow = lineOverflow_;
        line_.clear();
        lineOverflow_ = false;
        if (overflow) line = std::string(kMaxRecordLine + 1, '?');
        srecLine(line, now);
        return;
    }
    if (line_.size() < kMaxRecordLine)
        line_ += static_cast<char>(byte);
    else
        lineOverflow_ = true;
}

void PhoneModel::srecLine(std::string line, Micros now) {
    const size_t index = loaderLines_.size();
    const std::string where = "loader line " + std::to_string(index + 1);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
        if (!crReported_) {
            crReported_ = true;
            violation(where + " ends with CR LF on the line (only LF is sent)");
        }
    }
    loaderLines_.push_back(line);

    std::string complaint;
    if (line.size() > kMaxRecordLine) {
        complaint = "S-RECORD ERROR: LINE TOO LONG";
    } else if (!line.empty()) {
        const SrecResult result = parseRecord(line);
        if (result.error != SrecError::None) {
            complaint = srecErrorText(result.error);
        } else if (srecEnded_) {
            complaint = "S-RECORD AFTER END";
        } else if (srecIsData(result.record.type)) {
            loaderBytes_ += result.record.data.size();
        } else if (srecIsTermination(result.record.type)) {
            srecEnded_ = true;
            loaderStart_ = result.record.address;
        }
    }
    if (!complaint.empty()) violation(where + ": " + complaint);

    // Faults: the counting is by loader line.
    if (!fault("srec", "", now)) return;
    const Trigger here{"srec", static_cast<uint32_t>(index)};
    auto listed = [&here](const std::vector<Trigger>& triggers) {
        for (const auto& t : triggers)
            if (t == here) return true;
        return false;
    };
    if (listed(config_.complainAt)) complaint = config_.complaint;
    std::string bytes;
    if (!complaint.empty()) bytes = complaint + "\r\n";
    if (!listed(config_.noDotAt)) bytes += '.';
    if (!bytes.empty()) send(bytes, now + config_.replyLatencyUs, Phase::Srec);
}

void PhoneModel::loaderByte(uint8_t byte, Micros now) {
    // A CR ends a command when the LF follows, or when nothing follows for a
    // moment: the detection probe "AT" + CR gets its answer too.
    if (crDeadline_) {
        crDeadline_.reset();
        loaderLineEnd(byte == '\n', now);
        if (byte == '\n') return;
    }
    if (byte == '\r') {
        crDeadline_ = now + kCrWaitUs;
        return;
    }
    if (byte == '\n') {
        if (line_.empty() && !lineOverflow_) return;  // a blank line left over from the loader file
        loaderLineEnd(false, now);
        return;
    }
    if (line_.size() < kMaxCommand)
        line_ += static_cast<char>(byte);
    else
        lineOverflow_ = true;
}

void PhoneModel::loaderLineEnd(bool crlf, Micros now) {
    const std::string line = line_;
    const bool overflow = lineOverflow_;
    line_.clear();
    lineOverflow_ = false;
    if (overflow) {
        violation("flash loader command too long");
        reply({"ERROR"}, now);
        return;
    }
    if (!crlf && line != "AT")
        violation("flash loader command '" + line + "' does not end with CR LF");
    loaderCommand(line, now);
}

void PhoneModel::loaderCommand(const std::string& line, Micros now) {
    if (eraseEnd_ && now < *eraseEnd_)
        violation("flash loader command '" + line + "' while the FLASH was being erased");

    std::string key;
    std::optional<uint32_t> value;
    bool wellFormed = false;
    if (line == "AT") {
        key = "AT";
        wellFormed = true;
    } else if (line.size() >= 5 && line.compare(0, 4, "AT##") == 0) {
        const char letter = line[4];
        const std::string plain = "BCREIVT";
        const std::string withValue = "SHLP";
        if (line.size() == 5 && plain.find(letter) != std::string::npos) {
            key.assign(1, letter);
            wellFormed = true;
        } else if (line.size() > 8 && withValue.find(letter) != std::string::npos &&
                   line.compare(5, 3, "=0x") == 0) {
            const std::string digits = line.substr(8);
            bool hex = digits.size() <= 8;
            bool upper = true;
            for (char c : digits) {
                hex = hex && isHex(c);
                upper = upper && isUpperHex(c);
            }
            if (hex) {
                key.assign(1, letter);
                wellFormed = true;
                value = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
                if (!upper || (digits.size() > 1 && digits[0] == '0'))
                    violation("flash loader value '" + digits +
                              "' is not upper-case hexadecimal without leading zeros");
            }
        }
    }
    if (!wellFormed) {
        if (!fault("", line, now)) return;
        violation("unknown flash loader command '" + line + "'");
        reply({"ERROR"}, now);
        return;
    }
    if (!fault(key, line, now)) return;

    const char letter = key == "AT" ? '\0' : key[0];
    switch (letter) {
        case '\0':
            reply({"OK"}, now);
            break;
        case 'V':
            reply({config_.version, "OK"}, now);
            break;
        case 'P': {
            bool accepted = false;
            for (uint32_t speed : config_.speeds)
                accepted = accepted || speed == *value;
            if (accepted) {
                reply({"OK"}, now);
                loaderSpeed_ = *value;
                note("download speed " + std::to_string(*value));
            } else {
                reply(config_.speedRefusal, now);
                note("download speed " + std::to_string(*value) + " refused");
            }
            break;
        }
        case 'L':
            address_ = *value;
            erasedCurrent_ = false;
            reply({"OK"}, now);
            break;
        case 'S':
            size_ = *value;
            erasedCurrent_ = false;
            reply({"OK"}, now);
            break;
        case 'H':
            violation("loader command H is not part of a run");
            reply({"OK"}, now);
            break;
        case 'I': {
            std::vector<std::string> lines = config_.infoLines;
            if (!config_.flashDevice.empty())
                lines.push_back("FLASH device: " + config_.flashDevice);
            lines.push_back("OK");
            reply(lines, now);
            break;
        }
        case 'E': {
            if (!address_ || !size_) {
                violation("erase before the address and the size");
                reply({"ERROR"}, now);
                break;
            }
            const uint64_t span =
                (static_cast<uint64_t>(*size_) + kEraseUnit - 1) / kEraseUnit * kEraseUnit;
            if (!flash_->erase(*address_, span)) {
                note("erase outside the FLASH refused");
                reply({"ERROR"}, now);
                break;
            }
            erasedCurrent_ = true;
            const Micros eraseUs = static_cast<Micros>(config_.eraseMs) * 1000;
            if (config_.eraseProgressMs > 0) {
                const Micros step = static_cast<Micros>(config_.eraseProgressMs) * 1000;
                for (Micros t = step; t < eraseUs; t += step)
                    reply({"ERASING " + hexValue(*address_, 6)}, now, t);
            }
            reply({"OK"}, now, eraseUs);
            eraseEnd_ = now + config_.replyLatencyUs + eraseUs;
            break;
        }
        case 'B': {
            if (!address_ || !size_) {
                violation("download before the address and the size");
                reply({"ERROR"}, now);
                break;
            }
            if (!erasedCurrent_) violation("download without erasing first");
            ImageRecord image;
            image.address = *address_;
            image.size = *size_;
            image.erased = erasedCurrent_;
            image.complete = *size_ == 0;
            images_.push_back(image);
            remaining_ = *size_;
            blockOffset_ = 0;
            block_.clear();
            reply({"OK"}, now);
            if (remaining_ > 0) phase_ = Phase::Blocks;
            break;
        }
        case 'C':
        case 'R': {
            if (images_.empty() || !images_.back().complete)
                violation(std::string("loader command ") + letter + " before a complete download");
            if (!address_ || !size_) {
                reply({"ERROR"}, now);
                break;
            }
            SumsBuilder builder;
            const auto bytes = flash_->read(*address_, *size_);
            builder.add(bytes.data(), bytes.size());
            Sums sums = builder.finish();
            sums.checksum ^= config_.checksumXor;
            sums.crc = static_cast<uint16_t>(sums.crc ^ config_.crcXor);
            if (!images_.empty()) {
                auto& reported = images_.back().reported;
                if (!reported) reported = Sums{};
                if (letter == 'C')
                    reported->checksum = sums.checksum;
                else
                    reported->crc = sums.crc;
            }
            reply({letter == 'C' ? hexValue(sums.checksum, 8) : hexValue(sums.crc, 4), "OK"}, now);
            break;
        }
        case 'T':
            phase_ = Phase::Ended;
            verdict_.ended = true;
            break;
        default:
            break;
    }
}

void PhoneModel::blockByte(uint8_t byte, Micros now) {
    block_ += static_cast<char>(byte);
    const size_t expected = remaining_ < kBlockSize ? remaining_ : kBlockSize;
    if (isMarkerPrefix(block_)) {
        if (block_.size() == kBlankMarker.size()) {
            finishBlock(expected, now);
        } else if (block_.size() >= expected) {
            // A short block that reads like the start of a marker: more bytes
            // decide, or a quiet line makes it data.
            markerDeadline_ = now + static_cast<Micros>(config_.markerWaitMs) * 1000;
        }
        return;
    }
    if (block_.size() < expected) return;
    std::string extra = block_.substr(expected);
    block_.resize(expected);
    finishBlock(expected, now);
    if (!extra.empty()) {
        violation("bytes after a block before its reply");
        for (char c : extra)
            phoneByte(static_cast<uint8_t>(c), now);
    }
}

void PhoneModel::finishBlock(size_t length, Micros now) {
    markerDeadline_.reset();
    std::string data;
    ImageRecord& image = images_.back();
    if (block_ == kBlankMarker) {
        data.assign(length, '\xFF');
        ++image.blankBlocks;
    } else if (block_ == kZeroMarker) {
        data.assign(length, '\0');
        ++image.zeroBlocks;
    } else {
        data = block_;
        ++image.dataBlocks;
    }
    ++image.blocks;
    block_.clear();
    const uint32_t at = image.address + blockOffset_;
    const bool written =
        flash_->program(at, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    blockOffset_ += static_cast<uint32_t>(length);
    remaining_ -= static_cast<uint32_t>(length);
    if (remaining_ == 0) {
        image.complete = true;
        phase_ = Phase::Loader;
    }
    const Phase blockPhase = Phase::Blocks;
    if (!fault("block", "", now)) return;
    if (!written) {
        note("block outside the FLASH refused");
        send("ERROR\r\n", now + config_.replyLatencyUs, blockPhase);
        return;
    }
    send("OK\r\n", now + config_.replyLatencyUs, blockPhase);
}

void PhoneModel::advance(Micros now) {
    if (verdict_.hungUp) return;
    if (phase_ == Phase::Enq && config_.enq && now >= nextEnq_) {
        nextEnq_ = now + static_cast<Micros>(config_.enqIntervalMs) * 1000;
        if (fault("enq", "", now)) send("\x81", now, Phase::Enq);
        if (verdict_.hungUp) return;
    }
    if (crDeadline_ && now >= *crDeadline_) {
        crDeadline_.reset();
        loaderLineEnd(false, now);
    }
    if (markerDeadline_ && now >= *markerDeadline_) {
        const size_t expected = remaining_ < kBlockSize ? remaining_ : kBlockSize;
        finishBlock(expected, now);
    }
}

std::optional<Micros> PhoneModel::nextEvent() const {
    std::optional<Micros> next;
    auto consider = [&next](Micros t) {
        if (!next || t < *next) next = t;
    };
    if (verdict_.hungUp) return std::nullopt;
    if (!output_.empty()) consider(output_.front().due);
    if (phase_ == Phase::Enq && config_.enq) consider(nextEnq_);
    if (markerDeadline_) consider(*markerDeadline_);
    if (crDeadline_) consider(*crDeadline_);
    return next;
}

std::string PhoneModel::takeOutput(const LineSettings& line, Micros now, size_t maxBytes) {
    std::string out;
    while (!output_.empty() && output_.front().due <= now && out.size() < maxBytes &&
           !verdict_.hungUp) {
        OutputItem& item = output_.front();
        size_t used = 0;
        while (used < item.bytes.size() && out.size() < maxBytes) {
            uint8_t byte = static_cast<uint8_t>(item.bytes[used++]);
            const auto index = static_cast<size_t>(item.phase);
            const uint64_t offset = outCount_[index]++;
            bool dropped = false;
            for (const auto& fault : config_.byteFaults) {
                if (fault.toPhone || fault.phase != item.phase || fault.offset != offset) continue;
                if (fault.kind == ByteFaultKind::Drop)
                    dropped = true;
                else
                    byte ^= 0x01;
            }
            if (dropped) continue;
            bool lost = false;
            bool garbled = false;
            if (item.viaDongle) {
                // Nothing is relayed in the command state, and infrared at the
                // wrong speed is not decoded at all; the wire to the tool may
                // still be at another speed than the dongle.
                lost = dongleCommand_ || item.speed != dongleSpeed_;
                garbled = !line.sameFrame(frameAt(dongleSpeed_));
            } else {
                garbled = !line.sameFrame(frameAt(item.speed));
            }
            transcript_.add(now, false, item.phase, item.speed, garbled || lost, &byte, 1);
            if (lost) continue;
            out += static_cast<char>(garbled ? garble(byte) : byte);
        }
        item.bytes.erase(0, used);
        if (item.bytes.empty()) output_.pop_front();
    }
    return out;
}

}  // namespace sim
