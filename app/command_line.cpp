#include "app/command_line.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "app/console.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/terminal.h"

DownloadImage imageAt(const RunConfig& config, int32_t index) {
    return {config.imageNames[index], config.imageAddresses[index],
            config.imageLastAddresses[index]};
}

bool answersGiven(const RunConfig& config) {
    for (char answer : config.answers)
        if (answer != '\0') return true;
    return false;
}

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Decimal digits from text on, saturating at INT32_MAX.
int32_t parseDecimal(const char* text) {
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

constexpr const char* kJobGivesIt =
    "the job (--job=) gives the images, the loader, the target, the mode, the speed and the "
    "images' answers";

// Each option as the classic tool takes it; the reason when it is refused.
const char* parseOption(char* arg, RunConfig& config) {
    switch (lower(arg[1])) {
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            config.portIndex = parseDecimal(arg + 1) - 1;
            return nullptr;
        case '0':
            return "COM ports are numbered from 1";
        case 'd':
            config.linkMode = LinkDongle;
            return nullptr;
        case 'w':
            config.linkMode = LinkWire;
            return nullptr;
        case 'l':
            config.loaderSearch = 1;
            return nullptr;
        case 'p':
            config.loaderSearch = 2;
            return nullptr;
        case 'h':
            config.skipEnqWait = true;
            return nullptr;
        case 'f':
            if (arg[2] != ':') return "/f: needs a colon and the loader's name";
            config.loaderName = arg + 3;
            return nullptr;
        case 'c':
            if (arg[2] != ':' || arg[3] == '\0') return "/c: needs a colon and a device name";
            config.deviceName = arg + 3;
            return nullptr;
        case 't':
            if (std::strcmp(arg + 2, ":rb7") == 0) {
                config.target = TargetRb7;
            } else if (std::strcmp(arg + 2, ":rb7dsp") == 0) {
                config.target = TargetRb7Dsp;
            } else if (std::strcmp(arg + 2, ":k52") == 0) {
                config.target = TargetK52;
            } else {
                return "target must be rb7, rb7dsp or k52";
            }
            return nullptr;
        case 's':
            if (std::strcmp(arg + 2, ":230") == 0) {
                config.downloadSpeed = 230400;
            } else if (std::strcmp(arg + 2, ":460") == 0) {
                config.downloadSpeed = 460800;
            } else {
                return "speed must be 230 or 460";
            }
            return nullptr;
        default:
            return "unknown option";
    }
}

// --answers=yes|no for every question, or KIND=yes|no,... for some of them.
const char* parseAnswers(std::string_view value, RunConfig& config) {
    static constexpr std::string_view kKinds[kQuestionKinds] = {"signature", "overlap", "crc",
                                                                "bank"};
    const auto answer = [](std::string_view text) {
        return text == "yes" ? 'y' : text == "no" ? 'n' : '\0';
    };
    if (answer(value) != '\0') {
        for (char& a : config.answers)
            a = answer(value);
        return nullptr;
    }
    if (value.empty()) value = ",";  // no answer at all is no valid one
    while (!value.empty()) {
        const std::string_view item = value.substr(0, value.find(','));
        value.remove_prefix(item.size() < value.size() ? item.size() + 1 : item.size());
        const size_t equals = item.find('=');
        int32_t kind = 0;
        while (kind < kQuestionKinds && kKinds[kind] != item.substr(0, equals))
            ++kind;
        if (equals == std::string_view::npos || kind == kQuestionKinds ||
            answer(item.substr(equals + 1)) == '\0')
            return "--answers= takes yes, no, or KIND=yes|no,... (signature, overlap, crc, bank)";
        config.answers[kind] = answer(item.substr(equals + 1));
    }
    return nullptr;
}

// The slots' texts, kept for as long as the configuration made last.
std::deque<std::string>& slotTexts() {
    static std::deque<std::string> texts;
    return texts;
}

// --ports=[NAME=]DEVICE,...: a copy is cut, the line stays as typed. A slot
// is named after its device's base name unless it has a name.
const char* parseSlots(const char* list, RunConfig& config) {
    slotTexts().emplace_back(list);
    char* item = slotTexts().back().data();
    for (;;) {
        char* comma = std::strchr(item, ',');
        if (comma != nullptr) *comma = '\0';
        if (config.slotCount == kMaxSlots) return "at most 32 slots";
        StationSlot& slot = config.slots[config.slotCount++];
        char* equals = std::strchr(item, '=');
        slot.device = equals != nullptr ? equals + 1 : item;
        if (equals != nullptr) *equals = '\0';
        slot.name = item;
        if (equals == nullptr) {
            for (const char* p = item; *p != '\0'; ++p)
                if (*p == '/' || *p == '\\') slot.name = p + 1;
        }
        if (slot.device[0] == '\0' || slot.name[0] == '\0')
            return "a slot is DEVICE or NAME=DEVICE";
        if (comma == nullptr) return nullptr;
        item = comma + 1;
    }
}

// Why a slot's name cannot name a log file or stand on the screen.
const char* badSlotName(const char* name) {
    const std::string_view text(name);
    if (text.size() > kMaxSlotName) return "longer than 64 characters";
    if (text == "." || text == "..") return "not a file name";
    for (char c : text) {
        if (c == '/' || c == '\\') return "a path separator";
        if (c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "a space or a control character";
    }
    return nullptr;
}

// --expect=loader|N:SIZE:SHA256.
const char* parseExpected(const char* value, RunConfig& config) {
    static constexpr const char* kReason = "--expect= takes loader|N:SIZE:SHA256";
    const char* colon = std::strchr(value, ':');
    if (colon == nullptr) return kReason;
    const std::string_view kind(value, static_cast<size_t>(colon - value));
    ExpectedFile* expected = nullptr;
    if (kind == "loader") {
        expected = &config.expectedLoader;
    } else if (!kind.empty() && kind.size() <= 2 &&
               kind.find_first_not_of("0123456789") == std::string_view::npos) {
        const int32_t n = parseDecimal(value);
        if (n < 1 || n > kMaxImages) return kReason;
        expected = &config.expectedImages[n - 1];
    } else {
        return kReason;
    }
    const char* size = colon + 1;
    const size_t digits = std::strspn(size, "0123456789");
    const char* sha = size + digits;
    if (digits == 0 || digits > 10 || *sha != ':' || std::strlen(sha + 1) != 64 ||
        std::strspn(sha + 1, "0123456789abcdef") != 64)
        return kReason;
    expected->given = true;
    expected->size = 0;
    for (size_t i = 0; i < digits; ++i)
        expected->size = expected->size * 10 + (size[i] - '0');
    std::memcpy(expected->sha256, sha + 1, 65);
    return nullptr;
}

// Control characters of a text for the terminal shown as '?'.
char* printable(char* text) {
    for (char* c = text; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
    return text;
}

// What makes a station's line invalid; null when it is a valid one (or no
// station at all). reason has room for the message.
const char* checkStation(const RunConfig& config, const char* portArg, char* reason, size_t size) {
    if (config.slotCount == 0) {
        if (config.repeat != 0) return "--repeat: only with --ports";
        if (config.journalFile != nullptr) return "--journal=: only with --ports";
        if (config.logDir != nullptr) return "--log-dir=: only with --ports";
        if (config.quarantine >= 0) return "--quarantine=: only with --ports";
        if (config.bell != Bell::Default) return "--bell=: only with --ports";
        if (config.onResult != nullptr) return "--on-result=: only with --ports";
        if (config.control != nullptr) return "--control=: only with --ports";
        if (config.statusPage != nullptr) return "--status-page=: only with --ports";
        if (config.controlToken != nullptr) return "--control-token=: only with --ports";
        return nullptr;
    }
    if (config.makeJobFile != nullptr) return "--make-job=: makes a job, flashes no phone";
    if (portArg != nullptr) {
        std::snprintf(reason, size, "'%s': a station names its devices with --ports", portArg);
        return reason;
    }
    if (config.traceFile != nullptr) return "--trace=: one trace file cannot take several phones";
    if (config.repeat != 0 && config.linkMode == LinkWire &&
        (config.skipEnqWait || config.target == TargetK52))
        return "--repeat needs the phone's ENQ to know the next one: not with /h or k52";
    for (int32_t i = 0; i < config.slotCount; ++i) {
        const StationSlot& slot = config.slots[i];
        if (const char* bad = badSlotName(slot.name)) {
            std::snprintf(reason, size, "slot name '%.64s%s': %s", slot.name,
                          std::strlen(slot.name) > 64 ? "..." : "", bad);
            return printable(reason);
        }
        if (std::strpbrk(slot.device, "; \t") != nullptr && !path_exists(slot.device)) {
            std::snprintf(reason, size,
                          "slot '%s': there is no device '%s' (slots are separated by ',')",
                          slot.name, slot.device);
            return printable(reason);
        }
        for (int32_t k = 0; k < i; ++k) {
            const StationSlot& a = config.slots[k];
            const StationSlot& b = config.slots[i];
            if (std::strcmp(a.name, b.name) == 0) {
                std::snprintf(reason, size, "two slots are named '%s'", a.name);
                return reason;
            }
            if (std::strcmp(a.device, b.device) == 0 || file_same(a.device, b.device)) {
                std::snprintf(reason, size, "slots '%s' (%s) and '%s' (%s) are the same device",
                              a.name, a.device, b.name, b.device);
                return printable(reason);
            }
        }
    }
    return nullptr;
}

// The extensions: whole words after "--".
const char* parseLongOption(char* arg, RunConfig& config) {
    if (std::strcmp(arg, "--progress") == 0) {
        config.progress = true;
    } else if (std::strncmp(arg, "--trace=", 8) == 0) {
        if (arg[8] == '\0') return "--trace= needs a file name";
        config.traceFile = arg + 8;
    } else if (std::strncmp(arg, "--answers=", 10) == 0) {
        return parseAnswers(arg + 10, config);
    } else if (std::strncmp(arg, "--events=", 9) == 0) {
        if (arg[9] == '\0') return "--events= needs a file name";
        config.eventsFile = arg + 9;
    } else if (std::strncmp(arg, "--ports=", 8) == 0) {
        return parseSlots(arg + 8, config);
    } else if (std::strcmp(arg, "--repeat") == 0) {
        config.repeat = -1;
    } else if (std::strncmp(arg, "--repeat=", 9) == 0) {
        config.repeat = parseDecimal(arg + 9);
        if (config.repeat < 1 || arg[9 + std::strspn(arg + 9, "0123456789")] != '\0')
            return "--repeat= takes the number of phones a slot, from 1";
    } else if (std::strncmp(arg, "--journal=", 10) == 0) {
        if (arg[10] == '\0') return "--journal= needs a file name";
        config.journalFile = arg + 10;
    } else if (std::strncmp(arg, "--log-dir=", 10) == 0) {
        if (arg[10] == '\0') return "--log-dir= needs a folder";
        config.logDir = arg + 10;
    } else if (std::strncmp(arg, "--expect=", 9) == 0) {
        return parseExpected(arg + 9, config);
    } else if (std::strncmp(arg, "--job=", 6) == 0) {
        if (arg[6] == '\0') return "--job= needs a job file";
        config.jobFile = arg + 6;
    } else if (std::strncmp(arg, "--make-job=", 11) == 0) {
        if (arg[11] == '\0') return "--make-job= needs a file name";
        config.makeJobFile = arg + 11;
    } else if (std::strncmp(arg, "--job-name=", 11) == 0) {
        if (arg[11] == '\0' || std::strlen(arg + 11) > 64 || badSlotName(arg + 11) != nullptr)
            return "--job-name= takes 1 to 64 characters, without spaces, controls or separators";
        config.jobName = arg + 11;
    } else if (std::strncmp(arg, "--quarantine=", 13) == 0) {
        config.quarantine = parseDecimal(arg + 13);
        if (arg[13] == '\0' || arg[13 + std::strspn(arg + 13, "0123456789")] != '\0' ||
            config.quarantine > 1000)
            return "--quarantine= takes the failures in a row that stop a slot (0: never)";
    } else if (std::strncmp(arg, "--bell=", 7) == 0) {
        const std::string_view bell(arg + 7);
        config.bell = bell == "fail"   ? Bell::Fail
                      : bell == "all"  ? Bell::All
                      : bell == "none" ? Bell::None
                                       : Bell::Default;
        if (config.bell == Bell::Default) return "--bell= takes fail, all or none";
    } else if (std::strncmp(arg, "--on-result=", 12) == 0) {
        if (arg[12] == '\0') return "--on-result= needs a command";
        config.onResult = arg + 12;
    } else if (std::strncmp(arg, "--control=", 10) == 0) {
        if (arg[10] == '\0') return "--control= needs HOST:PORT";
        config.control = arg + 10;
    } else if (std::strncmp(arg, "--control-token=", 16) == 0) {
        if (arg[16] == '\0') return "--control-token= needs a file";
        config.controlToken = arg + 16;
    } else if (std::strncmp(arg, "--status-page=", 14) == 0) {
        if (arg[14] == '\0') return "--status-page= needs HOST:PORT";
        config.statusPage = arg + 14;
    } else {
        return "unknown option (see --help)";
    }
    return nullptr;
}

const char* parseImage(char* arg, RunConfig& config) {
    int32_t address = kDefaultImageAddress;
    char* colon = std::strchr(arg, ':');
    if (colon != nullptr) {
        *colon = '\0';
        address = parseHexAddress(colon + 1);
        if (address == 0) {
            *colon = ':';  // the whole argument for the message
            return "the address must be a hexadecimal number other than 0";
        }
    }
    config.imageNames[config.imageCount] = arg;
    config.imageAddresses[config.imageCount] = address;
    ++config.imageCount;
    return nullptr;
}

// An argument that starts with '/' is an option, unless (where '/' starts
// paths) it names an existing file: an absolute path to an image.
bool isAbsoluteImagePath(const char* arg) {
    if (!kSlashMayStartAPath) return false;
    char name[4096];
    size_t n = 0;
    for (; arg[n] != '\0' && arg[n] != ':' && n + 1 < sizeof name; ++n)
        name[n] = arg[n];
    if (arg[n] != '\0' && arg[n] != ':') return false;  // too long to be a path
    name[n] = '\0';
    return file_is_regular(name);
}

bool isImageArgument(const char* arg) {
    if (std::strcmp(arg, "-h") == 0 || (arg[0] == '-' && arg[1] == '-')) return false;
    return arg[0] != '/' || isAbsoluteImagePath(arg);
}

void describe(CommandLineError* error, const char* arg, const char* reason) {
    if (error == nullptr) return;
    std::snprintf(error->text, sizeof error->text, "'%s': %s", arg, reason);
}

}  // namespace

int32_t parseHexAddress(const char* text) {
    while (isSpace(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hexValue(text[2]) >= 0) text += 2;
    // Magnitude saturates just past the int32 range; the sign then clamps it.
    constexpr uint64_t kCap = uint64_t{1} << 32;
    uint64_t magnitude = 0;
    for (int digit; (digit = hexValue(*text)) >= 0; ++text) {
        magnitude = magnitude * 16 + static_cast<uint64_t>(digit);
        if (magnitude > kCap) magnitude = kCap;
    }
    if (negative) {
        if (magnitude >= uint64_t{1} << 31) return INT32_MIN;
        return -static_cast<int32_t>(magnitude);
    }
    if (magnitude > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(magnitude);
}

bool parseCommandLine(int argc, char** argv, RunConfig& config, CommandLineError* error) {
    config = RunConfig{};
    slotTexts().clear();
    config.portIndex = 1;
    config.target = TargetRb7;
    config.linkMode = LinkWire;
    config.loaderSearch = 0;
    config.loaderName = nullptr;
    config.downloadSpeed = kBaseSpeed;
    config.deviceName = nullptr;
    if (error != nullptr) error->text[0] = '\0';

    // Asking for help or the version wins over anything else on the line.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            config.showHelp = true;
        if (std::strcmp(argv[i], "--version") == 0) config.showVersion = true;
        if (std::strcmp(argv[i], "--list-ports") == 0) config.listPorts = true;
    }
    if (config.showHelp || config.showVersion || config.listPorts) return true;

    config.quarantine = -1;
    const char* speedArg = nullptr;
    const char* portArg = nullptr;
    bool job = false;  // a job gives the images and their settings
    for (int i = 1; i < argc; ++i)
        job = job || std::strncmp(argv[i], "--job=", 6) == 0;
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        const char* reason = nullptr;
        if (!isImageArgument(arg)) {
            const std::string before(config.answers, 3);
            reason = arg[0] == '/' ? parseOption(arg, config) : parseLongOption(arg, config);
            if (reason == nullptr && job &&
                (arg[0] == '/' ? std::strchr("tdwsflpTDWSFLP", arg[1]) != nullptr
                               : before != std::string(config.answers, 3)))
                reason = kJobGivesIt;
            if (reason == nullptr && arg[0] == '/' && lower(arg[1]) == 's') speedArg = arg;
            if (reason == nullptr && arg[0] == '/' &&
                ((arg[1] >= '1' && arg[1] <= '9') || lower(arg[1]) == 'c'))
                portArg = arg;
        } else if (config.imageCount >= kMaxImages) {
            if (error != nullptr) {
                int images = 0;
                for (int k = 1; k < argc; ++k)
                    images += isImageArgument(argv[k]) ? 1 : 0;
                std::snprintf(error->text, sizeof error->text, "%d images: at most %d", images,
                              static_cast<int>(kMaxImages));
            }
            return false;
        } else {
            reason = job ? kJobGivesIt : parseImage(arg, config);
        }
        if (reason != nullptr) {
            describe(error, arg, reason);
            return false;
        }
    }
    const char* jobProblem = config.jobFile != nullptr && config.makeJobFile != nullptr
                                 ? "--job= runs a job, --make-job= makes one: not both"
                             : config.jobName != nullptr && config.makeJobFile == nullptr
                                 ? "--job-name=: only with --make-job="
                                 : nullptr;
    if (jobProblem != nullptr) {
        if (error != nullptr) std::snprintf(error->text, sizeof error->text, "%s", jobProblem);
        return false;
    }
    if (config.imageCount < 1 && config.jobFile == nullptr) {
        if (error != nullptr) std::snprintf(error->text, sizeof error->text, "no image given");
        return false;
    }
    if (config.downloadSpeed != kBaseSpeed &&
        (config.target != TargetRb7 || config.linkMode != LinkWire)) {
        describe(error, speedArg, "only with rb7 in wire mode");
        return false;
    }
    char reason[sizeof error->text];
    const char* station = checkStation(config, portArg, reason, sizeof reason);
    if (station != nullptr) {
        if (error != nullptr) std::snprintf(error->text, sizeof error->text, "%s", station);
        return false;
    }
    return true;
}

const char* toolVersion() {
    return DOWNLOAD_VERSION;
}

void printUsage() {
    static const char* const kUsage[] = {
        "\nCommand line syntax:",
        "\nUSAGE : download {filename[:addr]} [/[1-2]] [/t:[rb7|rb7dsp|k52]]",
        "\n                            [/[w|d]] [l] [/s:[230|460]] [/f:ldrname]",
        "\nPARAMETERS:",
        "\n filename[:addr] : filename -- path of downloading file",
        "\n                   addr     -- destination address in hex",
        "\n                   this option can be repeated for multiple download",
        "\n        /[1-9]   : 1 = FLASH download using one of COM1-COM9",
        "\n        /t:      : FLASH download Target",
        "\n                   rb7    = rb7 micro controller code (default)",
        "\n                   rb7dsp = rb7 DSP code",
        "\n                   k52    = k52 micro controller code",
        "\n        /[w|d]   : w = wire mode (default)",
        "\n                   d = IrDA mode using Dongle",
        "\n        /l       : using a flash loader in the Local directory",
        "\n        /f:      : using specified Flash loader, instead of the default loader",
        "\n                   ldrname = flash loader name",
        "\n        /s:      : optional download speed for RB7 wire mode only",
        "\n                   230 = 230400 bps",
        "\n                   460 = 460800 bps",
        "\nEXAMPLES:",
        "\n>download gsmflcrc.bin /2 /t:rb7",
        "\n    (Download gsmflcrc.bin to rb7 mobile using COM2)",
        "\n>download gsmflcrc.bin /1 /t:rb7 /d",
        "\n    (Download gsmflcrc.binto RB7 using COM1 and IrDA-Dongle)",
        "\n>download afg.bin:0x400000 afg1.bin:0x800000 /1 /t:rb7",
        "\n    (Using COM1, download afg.bin to address 0x400000 and",
        "\n     afg1.bin to address 0x800000 in rb7 mobile",
        "\n",
    };
    for (const char* text : kUsage)
        consoleWrite(text);
}

void printHelp() {
    static const char* const kHelp[] = {
        "download: writes firmware images into a phone's FLASH over a serial port.\n",
        "\n",
        "Usage: download {image[:addr]} [options]\n",
        "\n",
        "Images (at most 10, written in this order):\n",
        "  image              a file written to address 0x400000\n",
        "  image:addr         a file written to addr (hexadecimal, with or without 0x)\n",
        "                     where '/' starts paths, an existing file such as\n",
        "                     /home/me/fw.bin is an image, not an option\n",
        "\n",
        "Options:\n",
        "  /1 ... /9          the COM port (all digits count: /12 is COM12); default COM2\n",
        "  /c:DEVICE          the serial device itself: /dev/ttyUSB0, COM12, \\\\.\\COM12\n",
        "  /t:rb7|rb7dsp|k52  the code target (default rb7)\n",
        "  /w                 wire mode: a cable (default)\n",
        "  /d                 infrared mode, through a dongle on the port\n",
        "  /l                 the flash loader from the current directory only\n",
        "  /p                 the full loader search: p:\\tools\\, c:\\tools\\, .\\ (default)\n",
        "  /f:NAME            this flash loader instead of [i]<target>.s37 (an absolute\n",
        "                     path is opened as given)\n",
        "  /h                 no wait for the phone's ENQ (wire mode)\n",
        "  /s:230, /s:460     download at 230400 or 460800 bit/s (rb7 in wire mode only)\n",
        "  --progress         one progress line (%, bytes, rate, elapsed, time left)\n",
        "                     instead of the rows of glyphs\n",
        "  --trace=FILE       every byte on the line, with its time, speed and stage\n",
        "  --answers=yes|no   answer every yes/no question so, without the console\n",
        "  --answers=KIND=yes|no,...\n",
        "                     answer these: signature, overlap, crc, bank (later ones\n",
        "                     win); a missing image then stops the run\n",
        "  --events=FILE      the run's events as JSON lines (a file, a FIFO, a pipe)\n",
        "  --list-ports       the serial devices of this machine and their stable names\n",
        "\n",
        "A station (many phones at once, one worker process each):\n",
        "  --ports=SLOTS      [NAME=]DEVICE,... (1 to 32 slots; may be given again)\n",
        "  --repeat[=N]       the next phone on a slot as soon as one is done (N a slot)\n",
        "  --journal=FILE     one JSON line per phone, appended, synced to disk\n",
        "  --log-dir=DIR      each phone's console output in DIR/NAME-START-N.log\n",
        "                     q: no new phones; Ctrl-C: every phone stops now\n",
        "  --quarantine=K     with --repeat: a slot whose last K phones failed takes no\n",
        "                     more (3 unless told, 0 never); r releases it\n",
        "  --bell=fail|all|none\n",
        "                     the bell for a failed phone (3 at a quarantine), all: for\n",
        "                     every phone (fail on a terminal, else none)\n",
        "  --on-result=COMMAND\n",
        "                     run after each record (sh -c, cmd /c), with DOWNLOAD_SLOT,\n",
        "                     _DEVICE, _PHONE, _RESULT, _REASON, _JOB, _RECORD set\n",
        "                     with --repeat a slot whose device has gone waits for it\n",
        "  --control=HOST:PORT\n",
        "                     a control port: HELLO, STATUS, PAUSE, RESUME, LABEL,\n",
        "                     RELEASE, ABORT, STOP, SUBSCRIBE (lines of text)\n",
        "  --status-page=HOST:PORT\n",
        "                     a live status page (/), /status.json and /journal\n",
        "  --control-token=FILE\n",
        "                     both ask for its first line (AUTH TOKEN; a bearer\n",
        "                     token): needed unless HOST is a loopback address\n",
        "  --expect=KIND:SIZE:SHA256\n",
        "                     (its workers) refuse the loader or image KIND (1-10)\n",
        "                     unless it has this size and SHA-256\n",
        "\n",
        "A production job (the files pinned by their SHA-256):\n",
        "  --make-job=FILE    write a job of the images, loader, target, mode, speed\n",
        "                     and answers of the line (--job-name=TEXT: its name)\n",
        "  --job=FILE         run it (with --ports, or /c: or /N): every file is\n",
        "                     checked first; images and their options are refused\n",
        "  --stats=JOURNAL    per slot: phones, verified, failed, yield, median time,\n",
        "                     top failure (--by=slot|adapter|day|job|reason,\n",
        "                     --stats-format=text|csv|json; may be given again)\n",
        "\n",
        "  --version          the version and the build\n",
        "  --help, -h         this text\n",
        "\n",
        "Exit status:\n",
        "  0    every image written and verified\n",
        "  1    the run stopped early (the message says why)\n",
        "  2    every image processed, at least one failed its verification\n",
        "  130  stopped by Ctrl-C\n",
        "  a station: 0 every phone verified, 2 a phone failed or a slot could not\n",
        "  be used, 1 it could not start or stopped by itself (its files changed, a\n",
        "  record not written), 130 Ctrl-C, SIGTERM or SIGHUP\n",
        "\n",
        "Examples:\n",
        "  download fw.bin /2                  wire mode on COM2\n",
        "  download fw.bin /1 /d               infrared dongle on COM1\n",
        "  download fw.bin a.bin:0x800000 /s:460 /l\n",
        "                                      two images at 460800 bit/s, loader in .\n",
        "  download fw.bin /c:/dev/ttyUSB0     a USB serial adapter on Linux\n",
        "  download fw.bin /c:COM5 --answers=no --events=run.json\n",
        "                                      unattended, every fact of the run in run.json\n",
        "  download fw.bin /s:460 --ports=A=/dev/ttyUSB0,B=/dev/ttyUSB1 --repeat\n",
        "           --journal=phones.json --log-dir=logs\n",
        "                                      two slots, phone after phone\n",
        "  download --make-job=line3.job fw.bin /s:460\n",
        "  download --job=line3.job --ports=A=/dev/ttyUSB0,B=/dev/ttyUSB1 --repeat\n",
        "           --journal=phones.json\n",
        "  download --stats=phones.json        the yield of each slot\n",
    };
    for (const char* text : kHelp)
        consoleWrite(text);
}

void printVersion() {
    consolePrint("download %s (classic %s, %s)\n", DOWNLOAD_VERSION, kVersionText, kDateText);
    consolePrint("built for %s on %s\n", platform_build_description(), __DATE__);
}
