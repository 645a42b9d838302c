// The command channel: every command to the IROM and the flash loader goes
// through sendCommand, every reply through readReply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum CommandCode : uint32_t {
    CmdBegin = 0,     // B: begin FLASH download
    CmdChecksum = 1,  // C
    CmdCrc = 2,       // R
    CmdErase = 3,     // E
    CmdInfo = 4,      // I
    CmdVersion = 5,   // V
    CmdSize = 6,      // S=
    CmdH = 7,         // H=
    CmdAddress = 8,   // L=
    CmdEnd = 9,       // T
    CmdSpeed = 10,    // P=
    CmdAtCrLf = 11,   // "AT\r\n"
    CmdAtCr = 12,     // "AT\r"
    CmdStartTransfer = 13,
    CmdCsSetup8 = 14,
    CmdCsSetup16 = 15,
    CmdRamTestLow = 16,
    CmdRamTestHigh = 17,
    CmdIromVersion = 18,
};

enum ReplyResult : int32_t {
    ReplyNext = 0,
    ReplyOk = 1,
    ReplyDownload = 2,
    ReplyRamPass = 3,
    ReplyRamFail = 4,
    // An ERAM line without a verdict: ends the reply but matches nothing a
    // caller waits for.
    ReplyNoVerdict = 5,
};

// Loader command letters by code, followed by the three progress glyphs.
extern const char loaderLetters[];

constexpr size_t kCommandBufferSize = 20;
constexpr size_t kReplyLineSize = 81;  // 80 characters and the NUL

// Writes the command's wire text into out (kCommandBufferSize bytes) and
// returns its length.
size_t formatCommand(CommandCode code, int32_t argument, char* out);

// Sends a command on the run's port: one block on a wire, one character
// every 40 ms through the dongle.
int32_t sendCommand(CommandCode code, int32_t argument);

// One CR/LF-ended line into buffer (kReplyLineSize bytes), waiting at most
// timeoutSeconds for each character. False on a time-out or a port failure;
// the buffer then holds what arrived.
bool readReplyLine(char* buffer, uint8_t timeoutSeconds);

// Reads lines until one ends the reply and returns its kind. An ITEST or
// value line stores its number in *value. Silence and "ERROR" lines end the
// run with a framed message. *valueStored (when given) tells whether a
// number was stored.
ReplyResult readReply(uint8_t timeoutSeconds, int32_t* value, bool* valueStored = nullptr);

// The lines of the last reply that were neither its end nor an echo, as
// the phone sent them (for the event stream).
const std::vector<std::string>& lastReplyLines();

// Waits at least ms milliseconds.
void delayMs(uint16_t ms);
