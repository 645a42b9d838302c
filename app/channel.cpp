#include "app/channel.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/console.h"
#include "app/events.h"
#include "app/progress.h"
#include "app/run_state.h"
#include "platform/keyboard.h"
#include "serial/port.h"

const char loaderLetters[] = "BCREIVSHLTP.o-";

namespace {

std::vector<std::string> replyLines;

constexpr const char* kFixedTexts[] = {
    "AT\r\n",            // 11
    "AT\r",              // 12
    nullptr,             // 13: "AT**%d\r"
    "AT01=0005,0005\r",  // 14
    "AT01=0015,0015\r",  // 15
    "AT05=00,07\r",      // 16
    "AT05=20,08\r",      // 17
    "AT04\r",            // 18
};

struct BankChip {
    const char* name;
    uint32_t bankSize;
};
constexpr BankChip kBankChips[] = {
    {"Am29DL163CB", 80000},
    {"Am29DL163CT", 180000},
    {"Am29DL323CB", 100000},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

struct Tokens {
    std::string_view token[4];
};

Tokens splitTokens(const char* line) {
    Tokens t;
    std::string_view rest(line);
    for (auto& token : t.token) {
        size_t start = 0;
        while (start < rest.size() && isBlank(rest[start]))
            ++start;
        size_t end = start;
        while (end < rest.size() && !isBlank(rest[end]))
            ++end;
        token = rest.substr(start, end - start);
        rest = rest.substr(end);
    }
    return t;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The value field of an ITEST token: up to three characters after "ITEST"
// and one separator, read as a signed decimal number. No digit: no number.
bool parseItestValue(std::string_view token, int32_t* value) {
    if (token.size() <= 6) return false;
    std::string_view field = token.substr(6, 3);
    size_t i = 0;
    bool negative = false;
    if (field[0] == '+' || field[0] == '-') {
        negative = field[0] == '-';
        i = 1;
    }
    int32_t number = 0;
    size_t digits = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i, ++digits)
        number = number * 10 + (field[i] - '0');
    if (digits == 0) return false;
    *value = negative ? -number : number;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits after "0x", as a 32-bit strtoul reads them (saturating).
// No digit: no number.
bool parseHexValue(std::string_view token, int32_t* value) {
    uint64_t number = 0;
    size_t digits = 0;
    for (size_t i = 2; i < token.size() && hexDigit(token[i]) >= 0; ++i, ++digits) {
        number = number * 16 + static_cast<uint64_t>(hexDigit(token[i]));
        if (number > UINT32_MAX) number = UINT64_C(1) << 32;
    }
    if (digits == 0) return false;
    uint32_t u = number > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(number);
    *value = static_cast<int32_t>(u);
    return true;
}

// Lines come from the phone: control characters must not reach the
// terminal, where they could move the cursor or start escape sequences.
// Bytes from 0x80 up pass unchanged: they are UTF-8 or a code page's text.
void makePrintable(const char* line, char* safe) {
    size_t n = 0;
    for (; line[n] != '\0' && n + 1 < kReplyLineSize; ++n) {
        auto c = static_cast<unsigned char>(line[n]);
        bool control = (c < 0x20 && c != '\t') || c == 0x7F;
        safe[n] = control ? '?' : line[n];
    }
    safe[n] = '\0';
}

void printPhoneLine(const char* format, const char* line) {
    char safe[kReplyLineSize];
    makePrintable(line, safe);
    progressBreakLine();
    consolePrint(format, safe);
}

[[noreturn]] void replyTimeout() {
    failRun("ERROR 3: Timeout waiting for response from mobile\n");
}

[[noreturn]] void replyError(const char* line) {
    char safe[kReplyLineSize];
    makePrintable(line, safe);
    char text[kReplyLineSize + 16];
    std::snprintf(text, sizeof text, "ERROR 4:   %s\n", safe);
    setStopReason(text);
    printFramedMessage(text);
    // What the phone refused, when the command alone does not say it.
    if (run().refusalNote[0] != '\0') consoleNote("%s", run().refusalNote);
    abortRun(run().runPort);
}

}  // namespace

size_t formatCommand(CommandCode code, int32_t argument, char* out) {
    int n = 0;
    auto unsignedArgument = static_cast<uint32_t>(argument);
    switch (code) {
        case CmdBegin:
        case CmdChecksum:
        case CmdCrc:
        case CmdErase:
        case CmdInfo:
        case CmdVersion:
        case CmdEnd:
            n = std::snprintf(out, kCommandBufferSize, "AT##%c\r\n", loaderLetters[code]);
            break;
        case CmdSize:
        case CmdH:
        case CmdAddress:
        case CmdSpeed:
            n = std::snprintf(out, kCommandBufferSize, "AT##%c=0x%" PRIX32 "\r\n",
                              loaderLetters[code], unsignedArgument);
            break;
        case CmdStartTransfer:
            n = std::snprintf(out, kCommandBufferSize, "AT**%" PRId32 "\r", argument);
            break;
        default:
            if (code >= CmdAtCrLf && code <= CmdIromVersion) {
                n = std::snprintf(out, kCommandBufferSize, "%s", kFixedTexts[code - CmdAtCrLf]);
            } else {
                out[0] = '\0';
            }
            break;
    }
    return n < 0 ? 0 : std::strlen(out);
}

int32_t sendCommand(CommandCode code, int32_t argument) {
    char text[kCommandBufferSize];
    size_t length = formatCommand(code, argument, text);
    SerialPort* port = run().runPort;
    if (run().runConfig.linkMode == LinkWire) {
        return port_write_block_timed(port, text, static_cast<uint32_t>(length), -1);
    }
    // The dongle relays characters only as fast as the phone takes them.
    for (size_t i = 0; i < length; ++i) {
        port->ops.write_byte(port, static_cast<unsigned char>(text[i]));
        delayMs(40);
    }
    return static_cast<int32_t>(length);
}

bool readReplyLine(char* buffer, uint8_t timeoutSeconds) {
    size_t stored = 0;
    bool crSeen = false;
    bool lfSeen = false;
    for (;;) {
        int32_t byte = port_read_byte_timed(run().runPort, int32_t{timeoutSeconds} * 1000);
        if (byte < 0) {
            buffer[stored] = '\0';
            return false;
        }
        if (byte == '\r') {
            crSeen = true;
            if (lfSeen) break;
        } else if (byte == '\n') {
            lfSeen = true;
            if (crSeen) break;
        } else {
            crSeen = lfSeen = false;
            if (stored < kReplyLineSize - 1) buffer[stored++] = static_cast<char>(byte);
        }
    }
    buffer[stored] = '\0';
    return true;
}

ReplyResult readReply(uint8_t timeoutSeconds, int32_t* value, bool* valueStored) {
    bool bankKnown = false;
    uint32_t bankSize = 0;
    ReplyResult result = ReplyNoVerdict;
    char line[kReplyLineSize];
    replyLines.clear();
    for (bool done = false; !done;) {
        if (!readReplyLine(line, timeoutSeconds)) replyTimeout();
        eventHeard();
        Tokens t = splitTokens(line);
        const std::string_view first = t.token[0];
        if (startsWith(first, "AT")) continue;  // the phone's echo of the command
        if (first != "NEXT" && first != "OK" && first != "Download" && first != "ERAM")
            replyLines.emplace_back(line);
        if (first == "NEXT") {
            result = ReplyNext;
            done = true;
        } else if (first == "OK") {
            result = ReplyOk;
            done = true;
        } else if (first == "Download") {
            result = ReplyDownload;
            done = true;
        } else if (first == "ERAM") {
            done = true;
            if (t.token[1] == "TestPass") {
                result = ReplyRamPass;
            } else if (t.token[1] == "TestFail") {
                result = ReplyRamFail;
            } else if (t.token[1] == "Test:") {
                result = t.token[2] == "Pass"   ? ReplyRamPass
                         : t.token[2] == "Fail" ? ReplyRamFail
                                                : ReplyNoVerdict;
            } else {
                printPhoneLine("  %s\n", line);
                result = ReplyNoVerdict;
            }
        } else if (startsWith(first, "ITEST")) {
            if (parseItestValue(first, value) && valueStored != nullptr) *valueStored = true;
        } else if (first == "ERROR") {
            replyError(line);
        } else if (startsWith(first, "0x")) {
            if (parseHexValue(first, value) && valueStored != nullptr) *valueStored = true;
        } else if (first == "FLASH" && t.token[1] == "device:") {
            printPhoneLine("  %s\n", line);
            if (t.token[2] == "AMD") {
                for (const auto& chip : kBankChips) {
                    if (t.token[3] == chip.name) {
                        bankKnown = true;
                        bankSize = chip.bankSize;
                    }
                }
            }
        } else {
            printPhoneLine("  %s \n", line);
        }
    }
    if (bankKnown && static_cast<uint32_t>(run().currentImage.size) > bankSize &&
        !askYesNo("File exceeds bank size, audio capability is suspect. Continue? [y/n]",
                  QuestionBank)) {
        abortRun(run().runPort);
    }
    return result;
}

const std::vector<std::string>& lastReplyLines() {
    return replyLines;
}

void delayMs(uint16_t ms) {
    uint32_t start = tick_ms();
    while (tick_ms() - start < ms)
        idle_hook(nullptr);
}
