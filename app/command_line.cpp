#include "app/command_line.h"

#include <cstring>

#include "app/console.h"
#include "app/run_state.h"

DownloadImage imageAt(const RunConfig& config, int32_t index) {
    return {config.imageNames[index], config.imageAddresses[index],
            config.imageLastAddresses[index]};
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

bool parseOption(char* arg, RunConfig& config) {
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
            return true;
        case 'd':
            config.linkMode = LinkDongle;
            return true;
        case 'w':
            config.linkMode = LinkWire;
            return true;
        case 'l':
            config.loaderSearch = 1;
            return true;
        case 'p':
            config.loaderSearch = 2;
            return true;
        case 'h':
            run().skipEnqWait = true;
            return true;
        case 'f':
            if (arg[2] != ':') return false;
            config.loaderName = arg + 3;
            return true;
        case 'c':
            if (arg[2] != ':' || arg[3] == '\0') return false;
            config.deviceName = arg + 3;
            return true;
        case 't':
            if (std::strcmp(arg + 2, ":rb7") == 0) {
                config.target = TargetRb7;
            } else if (std::strcmp(arg + 2, ":rb7dsp") == 0) {
                config.target = TargetRb7Dsp;
            } else if (std::strcmp(arg + 2, ":k52") == 0) {
                config.target = TargetK52;
            } else {
                return false;
            }
            return true;
        case 's':
            if (std::strcmp(arg + 2, ":230") == 0) {
                config.downloadSpeed = 230400;
            } else if (std::strcmp(arg + 2, ":460") == 0) {
                config.downloadSpeed = 460800;
            } else {
                return false;
            }
            return true;
        default:
            return false;
    }
}

bool parseImage(char* arg, RunConfig& config) {
    // The list holds ten images; more would be lost, so the line is refused.
    if (config.imageCount >= kMaxImages) return false;
    int32_t address = kDefaultImageAddress;
    char* colon = std::strchr(arg, ':');
    if (colon != nullptr) {
        *colon = '\0';
        address = parseHexAddress(colon + 1);
        if (address == 0) return false;
    }
    config.imageNames[config.imageCount] = arg;
    config.imageAddresses[config.imageCount] = address;
    ++config.imageCount;
    return true;
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

bool parseCommandLine(int argc, char** argv, RunConfig& config) {
    config = RunConfig{};
    config.portIndex = 1;
    config.target = TargetRb7;
    config.linkMode = LinkWire;
    config.loaderSearch = 0;
    config.loaderName = nullptr;
    config.downloadSpeed = kBaseSpeed;
    config.deviceName = nullptr;
    run().skipEnqWait = false;

    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        bool ok = arg[0] == '/' ? parseOption(arg, config) : parseImage(arg, config);
        if (!ok) return false;
    }
    if (config.imageCount < 1) return false;
    return config.downloadSpeed == kBaseSpeed ||
           (config.target == TargetRb7 && config.linkMode == LinkWire);
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
