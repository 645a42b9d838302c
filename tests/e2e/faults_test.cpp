// What the user meets when the phone or the line fails, at each exchange of a
// run: the message the run ends with, its exit status, and how long after the
// last byte on the line it ends. One row per failure; with
// DOWNLOAD_FAULT_TABLE=<file> each row also appends itself to that file, from
// which scripts/fault-table.sh makes the README's table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "tests/e2e/harness.h"

namespace {

const std::string kDashes(79, '-');

std::string framed(const std::string& text) {
    return "\n" + kDashes + "\n" + text + kDashes + "\n";
}
const std::string kError3 = framed("ERROR 3: Timeout waiting for response from mobile\n");
const std::string kError4 = framed("ERROR 4:   ERROR\n");
const std::string kRamFailure = framed("ERROR 2: External RAM test failure\n");
const std::string kNoAck =
    "\n\n" + kDashes + "\nTimeout waiting for s-record ACK from IROM\n" + kDashes + "\n";

const std::string kGone = "the serial device disappeared";
std::string blocksSent(int n) {
    return "a.bin: " + std::to_string(n) +
           " of 3 blocks sent; its FLASH at 0x400000-0x40FFFF is incomplete and must be flashed "
           "again";
}
std::string banner(const char* what) {
    return "FLASH DOWNLOAD FAILURE : " + std::string(what) +
           " mismatch : Version: 3.10a (May 10 2002)\n" + std::string(79, '!') + "\n";
}

// The failures, each at one place of the run.
enum class Kind { Error, Silence, HangUp, NoDot, RamFails, RamSilent, Damaged, WrongCrc };
const char* const kKindText[] = {"ERROR",
                                 "silence",
                                 "the phone's side goes away",
                                 "a line without its '.'",
                                 "fails with both set-ups",
                                 "no verdict",
                                 "a data byte damaged on the line",
                                 "a wrong value"};

struct Fault {
    const char* name;
    const char* stage;
    Kind kind;
    struct {
        const char* command;  // the command it happens at ("" for none)
        uint32_t occurrence;
    } at;
    std::string tail;  // the output ends with this
    int exitStatus;
    double minSeconds, maxSeconds;  // from the last byte on the line to the end
    std::string note;               // standard error holds this ("": nothing)
};

// clang-format off
const Fault kFaults[] = {
    {"EnqHangUp", "waiting for ENQ", Kind::HangUp, {"enq", 3},
     framed("Serial port failed. Status = -1\n"), 1, 0, 1, kGone},
    {"DetectionSilence", "mobile detection", Kind::Silence, {"AT", 0},
     framed("ERROR 1: Timeout waiting for mobile to respond\n"), 1, 1, 2, ""},
    {"IdentityError", "IROM identity (AT04)", Kind::Error, {"AT04", 0}, kError4, 1, 0, 1, ""},
    {"CsSetupSilence", "CS set-up (AT01)", Kind::Silence, {"AT01", 0}, kError3, 1, 4, 5.5, ""},
    {"RamFailsTwice", "RAM test (AT05)", Kind::RamFails, {"", 0}, kRamFailure, 1, 0, 1, ""},
    {"RamWithoutVerdict", "RAM test (AT05)", Kind::RamSilent, {"", 0}, kRamFailure, 1, 0, 1, ""},
    {"StartTransferHangUp", "start transfer (AT**3)", Kind::HangUp, {"AT**3", 0}, kError3, 1, 0, 1,
     kGone},
    {"LoaderLineNotAcknowledged", "loader upload", Kind::NoDot, {"srec", 3}, kNoAck, 1, 1, 2, ""},
    {"LoaderUploadHangUp", "loader upload", Kind::HangUp, {"srec", 2}, kNoAck, 1, 0, 1, kGone},
    {"SpeedError", "download speed (P)", Kind::Error, {"P", 0}, kError4, 1, 0, 1, ""},
    {"VersionError", "loader version (V)", Kind::Error, {"V", 0}, kError4, 1, 0, 1, ""},
    {"AddressSilence", "destination address (L)", Kind::Silence, {"L", 0}, kError3, 1, 4, 5.5, ""},
    {"AddressError", "destination address (L)", Kind::Error, {"L", 0}, kError4, 1, 0, 1,
     "the phone refused the destination address 0x400000 of a.bin"},
    // The first image verified: none is being written when the second is refused.
    {"SecondAddressError", "destination address (L), second image", Kind::Error, {"L", 1},
     kError4, 1, 0, 1, "the phone refused the destination address 0x500000 of b.bin\n"
     "1 of 2 images verified"},
    {"SizeError", "file size (S)", Kind::Error, {"S", 0}, kError4, 1, 0, 1,
     "the phone refused the size of a.bin: 3000 bytes at 0x400000-0x400BB7"},
    {"InformationHangUp", "information (I)", Kind::HangUp, {"I", 0}, kError3, 1, 0, 1, kGone},
    {"EraseError", "erase (E)", Kind::Error, {"E", 0}, kError4, 1, 0, 1,
     "the phone refused to erase 0x400000-0x40FFFF for a.bin (its size rounded up to whole 64 "
     "KiB)\n" + blocksSent(0)},
    {"EraseSilence", "erase (E)", Kind::Silence, {"E", 0}, kError3, 1, 45, 46.5, blocksSent(0)},
    {"BeginSilence", "begin download (B)", Kind::Silence, {"B", 0}, kError3, 1, 10, 11.5,
     blocksSent(0)},
    {"BlockError", "image blocks", Kind::Error, {"block", 1}, kError4, 1, 0, 1, blocksSent(2)},
    {"BlockSilence", "image blocks", Kind::Silence, {"block", 0}, kError3, 1, 15, 16.5,
     blocksSent(1)},
    {"BlockHangUp", "image blocks", Kind::HangUp, {"block", 2}, kError3, 1, 0, 1,
     kGone + "\n" + blocksSent(3)},
    {"BlockDamaged", "image blocks", Kind::Damaged, {"", 0}, banner("Checksum"), 2, 0, 1, ""},
    {"ChecksumSilence", "FLASH checksum (C)", Kind::Silence, {"C", 0}, kError3, 1, 10, 11.5,
     blocksSent(3)},
    {"CrcError", "FLASH CRC (R)", Kind::Error, {"R", 0}, kError4, 1, 0, 1, blocksSent(3)},
    {"CrcWrong", "FLASH CRC (R)", Kind::WrongCrc, {"", 0}, banner("CRC"), 2, 0, 1, ""},
};
// clang-format on

void configure(const Fault& f, e2e::Scenario& s) {
    sim::PhoneConfig& phone = s.phone;
    const sim::Trigger at{f.at.command, f.at.occurrence};
    switch (f.kind) {
        case Kind::Error:
            phone.errorAt = {at};
            break;
        case Kind::Silence:
            phone.silentAt = {at};
            break;
        case Kind::HangUp:
            phone.hangUpAt = {at};
            break;
        case Kind::NoDot:
            phone.noDotAt = {at};
            break;
        case Kind::RamFails:
            phone.ram = sim::RamVerdict::Fail;
            break;
        case Kind::RamSilent:
            phone.ram = sim::RamVerdict::NoVerdict;
            break;
        case Kind::Damaged:
            phone.byteFaults = {{sim::ByteFaultKind::Corrupt, true, sim::Phase::Blocks, 100}};
            break;
        case Kind::WrongCrc:
            phone.crcXor = 0x0100;
            break;
    }
    // The ROM silent at both speeds: every probe, with no ENQ wait before.
    if (f.name == std::string("DetectionSilence")) {
        phone.silentAt = {{"AT", 0}, {"AT", 1}, {"AT", 2}};
        s.args.push_back("/h");
    }
    // Announcements that arrive damaged (passed over) until the phone goes.
    if (f.name == std::string("EnqHangUp")) {
        for (uint64_t i = 0; i < 3; ++i)
            phone.byteFaults.push_back({sim::ByteFaultKind::Corrupt, false, sim::Phase::Enq, i});
    }
    if (f.name == std::string("SpeedError")) s.args.push_back("/s:460");
    if (f.name == std::string("SecondAddressError")) {
        s.files["b.bin"] = e2e::crcImage(3000, 2);
        s.args.push_back("b.bin:0x500000");
    }
}

// The message as a reader sees it: its lines without the rules.
std::string shown(const std::string& tail) {
    std::string text;
    size_t start = 0;
    while (start < tail.size()) {
        size_t end = tail.find('\n', start);
        if (end == std::string::npos) end = tail.size();
        const std::string line = tail.substr(start, end - start);
        if (!line.empty() && line.find_first_not_of("-!") != std::string::npos)
            text += (text.empty() ? "" : " / ") + line;
        start = end + 1;
    }
    return text;
}

void recordRow(const Fault& f, const e2e::Result& r, double seconds) {
    const char* file = std::getenv("DOWNLOAD_FAULT_TABLE");
    if (file == nullptr) return;
    size_t index = 0;
    while (index + 1 < std::size(kFaults) && std::string(kFaults[index].name) != f.name)
        ++index;
    char line[1024];
    std::string note = r.errors;
    while (!note.empty() && note.back() == '\n')
        note.pop_back();
    for (size_t at = 0; (at = note.find('\n', at)) != std::string::npos;)
        note.replace(at, 1, " / ");
    std::snprintf(line, sizeof line, "%02zu|%s|%s|`%s`|%s|%d|%.1f\n", index, f.stage,
                  kKindText[static_cast<int>(f.kind)], shown(f.tail).c_str(),
                  note.empty() ? "" : ("`" + note + "`").c_str(), r.exitStatus, seconds);
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return;
    [[maybe_unused]] ssize_t w = ::write(fd, line, std::strlen(line));
    ::close(fd);
}

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, EndWithTheirMessageStatusAndTime) {
    const Fault& f = GetParam();
    e2e::Scenario s = e2e::smallRun(90);
    configure(f, s);
    const e2e::Result r = e2e::run(s);
    ASSERT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitStatus, f.exitStatus) << r.output;
    ASSERT_GE(r.output.size(), f.tail.size()) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - f.tail.size()), f.tail) << r.output;
    EXPECT_EQ(r.errors, f.note.empty() ? "" : f.note + "\n") << r.output;
    const double seconds = r.secondsFromLastByteToExit();
    // The phone notes the last byte when it reads it: on a busy machine a little late.
    EXPECT_GE(seconds, f.minSeconds - 0.02) << r.output;
    EXPECT_LE(seconds, f.maxSeconds) << r.output;
    recordRow(f, r, seconds);
}

INSTANTIATE_TEST_SUITE_P(Native, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
