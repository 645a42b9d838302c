#include "sim/options.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

bool toNumber(const std::string& text, uint64_t max, uint64_t* value, int base = 10) {
    if (text.empty() || text.size() > 20) return false;
    const char* digits = text.c_str();
    if (base == 16 && text.size() > 2 &&
        (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0))
        digits += 2;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(digits, &end, base);
    if (*digits == '\0' || *end != '\0' || errno != 0 || v > max || *digits == '-') return false;
    *value = v;
    return true;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        parts.push_back(part);
    return parts;
}

const char* ramName(RamVerdict ram) {
    switch (ram) {
        case RamVerdict::Pass:
            return "pass";
        case RamVerdict::Fail:
            return "fail";
        case RamVerdict::Need16Bit:
            return "need16";
        case RamVerdict::NoVerdict:
            return "none";
    }
    return "pass";
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

const char* phonesimUsage() {
    return R"(Usage: phonesim [switches]
Serves a virtual phone (boot ROM, flash loader, FLASH, infrared dongle) on a
pseudo-terminal for the download tool. Prints the terminal's path on the first
line of standard output, serves the runs, and exits with
  0 every run was well-formed (ended with the end-of-run command, no fault of the tool)
  1 the tool broke the protocol in a run        2 bad command line or no terminal
  3 a run ended early, or nobody came in time   4 the phone hung up on purpose

Serving:
  --link PATH            make PATH a symlink to the terminal (e.g. a Wine comN link)
  --runs N               runs to serve, each from opening to closing the port (1; 0: forever)
  --timeout SECONDS      stop serving after this long (0: never)
  --transcript PATH      write the last run's transcript (every byte, phase, speed)
  --dump PATH            write the whole FLASH as a binary file at the end
  --report PATH          write the last run's verdict, notes and images
  --quiet                no verdict on standard error
Boot ROM:
  --no-enq               a ROM that waits silently instead of sending 0x81
  --enq-interval MS      time between two 0x81 bytes (75)
  --echo                 echo every command as a line before the reply
  --itest TOKEN          the identity line for AT04 (ITEST=011)
  --no-itest             no identity line
  --ram pass|fail|need16|none   RAM test verdicts (need16: passes after the 16-bit set-up)
  --eram joined|spaced   "ERAM TestPass" or "ERAM Test: Pass"
  --start-line TEXT      a line before "Download" (repeatable)
Flash loader:
  --loader-running       the loader already runs at 115200; the ROM is silent
  --version TEXT         the version line (FLASH LOADER V2.04)
  --speeds LIST          speeds accepted with P, comma-separated (230400,460800; "" none)
  --speed-refusal TEXT   a line of the refusal (repeatable; default NEXT)
  --info TEXT            an information line of I (repeatable; replaces the default)
  --no-info              no information lines
  --flash-device TEXT    adds "FLASH device: TEXT" to I (e.g. "AMD Am29DL163CB")
  --erase-ms MS          erase time (50)
  --erase-progress-ms MS a progress line this often while erasing (0: none)
  --marker-wait-ms MS    how long a short block that reads like a marker waits (20)
FLASH:
  --flash-base HEX       first address (0)
  --flash-size N         size in bytes, decimal or 0x hex (16 MiB)
  --flash-blank          starts erased instead of holding old firmware
Infrared dongle:
  --dongle               a dongle sits in front of the phone
  --dongle-answer HEX|none  answer to the wake-up byte 0xF0 (F5)
  --dongle-speed N       its speed before programming (9600)
Pacing:
  --pace                 the line's byte time in both directions (10 bits per byte)
  --latency-us N         the phone's time before each reply
Faults (TRIGGER is COMMAND or COMMAND:N, the N-th from 0; commands AT AT04 AT01
AT05 AT**3 V P L S I E B C R H T, "block" for image blocks, "srec" for loader lines,
"enq" for the ROM's announcements):
  --error-at TRIGGER     ERROR instead of the reply (repeatable, as all below)
  --silent-at TRIGGER    no reply
  --hang-up-at TRIGGER   the device disappears (the terminal is closed)
  --complain-at srec:N   text before the '.' of loader line N
  --no-dot-at srec:N     no '.' for loader line N
  --complaint TEXT       that text (WARNING: RECORD IGNORED)
  --checksum-xor HEX     the reported checksum is off by these bits
  --crc-xor HEX          the reported CRC is off by these bits
  --fault KIND:DIR:PHASE:N  drop|corrupt, in (to the phone)|out, phase enq|rom|srec|
                         loader|blocks|dongle, byte N of that direction and phase
  --transcript-limit N   bytes kept in the transcript (64 MiB)
Samples (written, then phonesim ends):
  --write-loader PATH    a valid S-record loader file
  --write-crc-image PATH an image with the signature and a good CRC residue
  --image-size N         its size (100000, rounded up to a multiple of 4)
  --write-block-image PATH  an image of data, blank and zero blocks
  --block-pattern TEXT   its blocks: d data, b blank, z zero (dbzdbzd)
  --help                 this text
)";
}

bool parsePhonesimArgs(const std::vector<std::string>& args, PhonesimOptions* options,
                       std::string* error) {
    PhoneConfig& phone = options->server.phone;
    bool infoReplaced = false;
    bool refusalReplaced = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t* out, int base = 10) {
            std::string text;
            if (!value(&text)) return false;
            if (base == 10 && text.size() > 2 && text.compare(0, 2, "0x") == 0) base = 16;
            if (!toNumber(text, max, out, base)) {
                *error = arg + ": bad number '" + text + "'";
                return false;
            }
            return true;
        };
        auto trigger = [&](std::vector<Trigger>* list) {
            std::string text;
            if (!value(&text)) return false;
            auto t = parseTrigger(text);
            if (!t) {
                *error = arg + ": bad trigger '" + text + "'";
                return false;
            }
            list->push_back(*t);
            return true;
        };
        uint64_t n = 0;
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--link") {
            if (!value(&options->server.linkPath)) return false;
        } else if (arg == "--runs") {
            if (!number(UINT32_MAX, &n)) return false;
            options->server.runs = static_cast<uint32_t>(n);
        } else if (arg == "--timeout") {
            if (!number(4000000, &n)) return false;
            options->server.timeoutMs = static_cast<uint32_t>(n * 1000);
        } else if (arg == "--transcript") {
            if (!value(&options->transcriptPath)) return false;
        } else if (arg == "--dump") {
            if (!value(&options->dumpPath)) return false;
        } else if (arg == "--report") {
            if (!value(&options->reportPath)) return false;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "--no-enq") {
            phone.enq = false;
        } else if (arg == "--enq-interval") {
            if (!number(60000, &n)) return false;
            phone.enqIntervalMs = static_cast<uint32_t>(n);
        } else if (arg == "--echo") {
            phone.echo = true;
        } else if (arg == "--itest") {
            if (!value(&phone.itest)) return false;
        } else if (arg == "--no-itest") {
            phone.itest.clear();
        } else if (arg == "--ram") {
            if (!value(&text)) return false;
            if (text == "pass")
                phone.ram = RamVerdict::Pass;
            else if (text == "fail")
                phone.ram = RamVerdict::Fail;
            else if (text == "need16")
                phone.ram = RamVerdict::Need16Bit;
            else if (text == "none")
                phone.ram = RamVerdict::NoVerdict;
            else {
                *error = "--ram: pass, fail, need16 or none";
                return false;
            }
        } else if (arg == "--eram") {
            if (!value(&text)) return false;
            if (text == "joined")
                phone.eramStyle = EramStyle::Joined;
            else if (text == "spaced")
                phone.eramStyle = EramStyle::Spaced;
            else {
                *error = "--eram: joined or spaced";
                return false;
            }
        } else if (arg == "--start-line") {
            if (!value(&text)) return false;
            phone.startLines.push_back(text);
        } else if (arg == "--loader-running") {
            phone.loaderRunning = true;
        } else if (arg == "--version") {
            if (!value(&phone.version)) return false;
        } else if (arg == "--speeds") {
            if (!value(&text)) return false;
            phone.speeds.clear();
            for (const auto& part : splitCommas(text)) {
                if (!toNumber(part, UINT32_MAX, &n)) {
                    *error = "--speeds: bad speed '" + part + "'";
                    return false;
                }
                phone.speeds.push_back(static_cast<uint32_t>(n));
            }
        } else if (arg == "--speed-refusal") {
            if (!value(&text)) return false;
            if (!refusalReplaced) phone.speedRefusal.clear();
            refusalReplaced = true;
            phone.speedRefusal.push_back(text);
        } else if (arg == "--info") {
            if (!value(&text)) return false;
            if (!infoReplaced) phone.infoLines.clear();
            infoReplaced = true;
            phone.infoLines.push_back(text);
        } else if (arg == "--no-info") {
            phone.infoLines.clear();
            infoReplaced = true;
        } else if (arg == "--flash-device") {
            if (!value(&phone.flashDevice)) return false;
        } else if (arg == "--erase-ms") {
            if (!number(600000, &n)) return false;
            phone.eraseMs = static_cast<uint32_t>(n);
        } else if (arg == "--erase-progress-ms") {
            if (!number(600000, &n)) return false;
            phone.eraseProgressMs = static_cast<uint32_t>(n);
        } else if (arg == "--marker-wait-ms") {
            if (!number(60000, &n)) return false;
            phone.markerWaitMs = static_cast<uint32_t>(n);
        } else if (arg == "--flash-base") {
            if (!number(UINT32_MAX, &n, 16)) return false;
            phone.flashBase = static_cast<uint32_t>(n);
        } else if (arg == "--flash-size") {
            if (!number(1u << 30, &n)) return false;
            phone.flashSize = static_cast<uint32_t>(n);
        } else if (arg == "--flash-blank") {
            phone.flashBlank = true;
        } else if (arg == "--dongle") {
            phone.dongle = true;
        } else if (arg == "--dongle-answer") {
            if (!value(&text)) return false;
            if (text == "none") {
                phone.dongleAnswer.reset();
            } else if (toNumber(text, 255, &n, 16)) {
                phone.dongleAnswer = static_cast<uint8_t>(n);
            } else {
                *error = "--dongle-answer: a hexadecimal byte or none";
                return false;
            }
        } else if (arg == "--dongle-speed") {
            if (!number(UINT32_MAX, &n)) return false;
            phone.dongleSpeed = static_cast<uint32_t>(n);
        } else if (arg == "--pace") {
            phone.paceLine = true;
        } else if (arg == "--latency-us") {
            if (!number(60000000, &n)) return false;
            phone.replyLatencyUs = static_cast<uint32_t>(n);
        } else if (arg == "--error-at") {
            if (!trigger(&phone.errorAt)) return false;
        } else if (arg == "--silent-at") {
            if (!trigger(&phone.silentAt)) return false;
        } else if (arg == "--hang-up-at") {
            if (!trigger(&phone.hangUpAt)) return false;
        } else if (arg == "--complain-at") {
            if (!trigger(&phone.complainAt)) return false;
        } else if (arg == "--no-dot-at") {
            if (!trigger(&phone.noDotAt)) return false;
        } else if (arg == "--complaint") {
            if (!value(&phone.complaint)) return false;
        } else if (arg == "--checksum-xor") {
            if (!number(UINT32_MAX, &n, 16)) return false;
            phone.checksumXor = static_cast<uint32_t>(n);
        } else if (arg == "--crc-xor") {
            if (!number(0xFFFF, &n, 16)) return false;
            phone.crcXor = static_cast<uint16_t>(n);
        } else if (arg == "--fault") {
            if (!value(&text)) return false;
            auto fault = parseByteFault(text);
            if (!fault) {
                *error = "--fault: bad fault '" + text + "'";
                return false;
            }
            phone.byteFaults.push_back(*fault);
        } else if (arg == "--transcript-limit") {
            if (!number(UINT64_MAX, &n)) return false;
            phone.transcriptLimit = n;
        } else if (arg == "--write-loader") {
            if (!value(&options->writeLoader)) return false;
        } else if (arg == "--write-crc-image") {
            if (!value(&options->writeCrcImage)) return false;
        } else if (arg == "--image-size") {
            if (!number(1u << 30, &n)) return false;
            options->imageSize = static_cast<size_t>(n);
        } else if (arg == "--write-block-image") {
            if (!value(&options->writeBlockImage)) return false;
        } else if (arg == "--block-pattern") {
            if (!value(&text)) return false;
            if (text.empty() || text[0] != 'd' ||
                text.find_first_not_of("dbz") != std::string::npos) {
                *error = "--block-pattern: letters d, b, z, starting with d";
                return false;
            }
            options->blockPattern = text;
        } else {
            *error = "unknown switch '" + arg + "'";
            return false;
        }
    }
    return true;
}

std::vector<std::string> phoneSwitches(const PhoneConfig& config) {
    const PhoneConfig defaults;
    std::vector<std::string> out;
    auto add = [&out](const std::string& a, const std::string& b) {
        out.push_back(a);
        out.push_back(b);
    };
    if (!config.enq) out.push_back("--no-enq");
    if (config.enqIntervalMs != defaults.enqIntervalMs)
        add("--enq-interval", std::to_string(config.enqIntervalMs));
    if (config.echo) out.push_back("--echo");
    if (config.itest.empty())
        out.push_back("--no-itest");
    else if (config.itest != defaults.itest)
        add("--itest", config.itest);
    if (config.ram != defaults.ram) add("--ram", ramName(config.ram));
    if (config.eramStyle != defaults.eramStyle)
        add("--eram", config.eramStyle == EramStyle::Joined ? "joined" : "spaced");
    for (const auto& line : config.startLines)
        add("--start-line", line);
    if (config.loaderRunning) out.push_back("--loader-running");
    if (config.version != defaults.version) add("--version", config.version);
    if (config.speeds != defaults.speeds) {
        std::string list;
        for (uint32_t s : config.speeds) {
            if (!list.empty()) list += ',';
            list += std::to_string(s);
        }
        add("--speeds", list);
    }
    if (config.speedRefusal != defaults.speedRefusal)
        for (const auto& line : config.speedRefusal)
            add("--speed-refusal", line);
    if (config.infoLines != defaults.infoLines) {
        if (config.infoLines.empty()) out.push_back("--no-info");
        for (const auto& line : config.infoLines)
            add("--info", line);
    }
    if (!config.flashDevice.empty()) add("--flash-device", config.flashDevice);
    if (config.eraseMs != defaults.eraseMs) add("--erase-ms", std::to_string(config.eraseMs));
    if (config.eraseProgressMs != 0)
        add("--erase-progress-ms", std::to_string(config.eraseProgressMs));
    if (config.markerWaitMs != defaults.markerWaitMs)
        add("--marker-wait-ms", std::to_string(config.markerWaitMs));
    if (config.flashBase != 0) add("--flash-base", hex(config.flashBase));
    if (config.flashSize != defaults.flashSize)
        add("--flash-size", std::to_string(config.flashSize));
    if (config.flashBlank) out.push_back("--flash-blank");
    if (config.dongle) out.push_back("--dongle");
    if (config.dongleAnswer != defaults.dongleAnswer)
        add("--dongle-answer", config.dongleAnswer ? hex(*config.dongleAnswer) : "none");
    if (config.dongleSpeed != defaults.dongleSpeed)
        add("--dongle-speed", std::to_string(config.dongleSpeed));
    if (config.paceLine) out.push_back("--pace");
    if (config.replyLatencyUs != 0) add("--latency-us", std::to_string(config.replyLatencyUs));
    for (const auto& t : config.errorAt)
        add("--error-at", formatTrigger(t));
    for (const auto& t : config.silentAt)
        add("--silent-at", formatTrigger(t));
    for (const auto& t : config.hangUpAt)
        add("--hang-up-at", formatTrigger(t));
    for (const auto& t : config.complainAt)
        add("--complain-at", formatTrigger(t));
    for (const auto& t : config.noDotAt)
        add("--no-dot-at", formatTrigger(t));
    if (config.complaint != defaults.complaint) add("--complaint", config.complaint);
    if (config.checksumXor != 0) add("--checksum-xor", hex(config.checksumXor));
    if (config.crcXor != 0) add("--crc-xor", hex(config.crcXor));
    for (const auto& f : config.byteFaults)
        add("--fault", formatByteFault(f));
    if (config.transcriptLimit != defaults.transcriptLimit)
        add("--transcript-limit", std::to_string(config.transcriptLimit));
    return out;
}

std::string formatReport(const RunReport& report) {
    std::string out;
    out += "ended " + std::to_string(report.verdict.ended ? 1 : 0) + "\n";
    out += "hungup " + std::to_string(report.verdict.hungUp ? 1 : 0) + "\n";
    for (const auto& v : report.verdict.violations)
        out += "violation " + v + "\n";
    for (const auto& n : report.verdict.notes)
        out += "note " + n + "\n";
    out += "loader " + std::to_string(report.loaderLines.size()) + " " +
           std::to_string(report.loaderBytes) + "\n";
    for (const auto& image : report.images) {
        out += "image " + hex(image.address) + " " + std::to_string(image.size) + " " +
               std::to_string(image.erased ? 1 : 0) + " " + std::to_string(image.blocks) + " " +
               std::to_string(image.dataBlocks) + " " + std::to_string(image.blankBlocks) + " " +
               std::to_string(image.zeroBlocks) + " " + std::to_string(image.complete ? 1 : 0);
        if (image.reported)
            out += " " + hex(image.reported->checksum) + " " + hex(image.reported->crc);
        out += "\n";
    }
    return out;
}

bool parseReport(const std::string& text, RunReport* report) {
    *report = RunReport{};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::istringstream fields(rest);
        if (key == "ended") {
            report->verdict.ended = rest == "1";
        } else if (key == "hungup") {
            report->verdict.hungUp = rest == "1";
        } else if (key == "violation") {
            report->verdict.violations.push_back(rest);
        } else if (key == "note") {
            report->verdict.notes.push_back(rest);
        } else if (key == "loader") {
            size_t count = 0;
            if (!(fields >> count >> report->loaderBytes)) return false;
            report->loaderLines.assign(count, std::string());
        } else if (key == "image") {
            ImageRecord image;
            std::string address, checksum, crc;
            int erased = 0, complete = 0;
            if (!(fields >> address >> image.size >> erased >> image.blocks >> image.dataBlocks >>
                  image.blankBlocks >> image.zeroBlocks >> complete))
                return false;
            image.address = static_cast<uint32_t>(std::strtoul(address.c_str(), nullptr, 16));
            image.erased = erased != 0;
            image.complete = complete != 0;
            if (fields >> checksum >> crc) {
                Sums sums;
                sums.checksum = static_cast<uint32_t>(std::strtoul(checksum.c_str(), nullptr, 16));
                sums.crc = static_cast<uint16_t>(std::strtoul(crc.c_str(), nullptr, 16));
                image.reported = sums;
            }
            report->images.push_back(image);
        } else if (!line.empty()) {
            return false;
        }
    }
    return true;
}

int exitStatusFor(const std::vector<RunReport>& reports, bool timedOut) {
    bool violations = false, hungUp = false, early = timedOut || reports.empty();
    for (const auto& r : reports) {
        violations = violations || !r.verdict.violations.empty();
        hungUp = hungUp || r.verdict.hungUp;
        early = early || !r.verdict.ended;
    }
    if (violations) return 1;
    if (hungUp) return 4;
    if (early) return 3;
    return 0;
}

}  // namespace sim
