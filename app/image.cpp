#include "app/image.h"

#include <array>
#include <cinttypes>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/events.h"
#include "app/expect.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "platform/terminal.h"

namespace {

// Room for any real path: a name cut short could open a different file.
constexpr size_t kTypedNameSize = 4096;

// The byte-wise register update, eight rounds at once.
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t crc = 0;
        auto byte = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            bool low = ((crc ^ byte) & 1U) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (low) crc = static_cast<uint16_t>(crc ^ 0x8408U);
            byte = static_cast<uint8_t>(byte >> 1);
        }
        table[i] = crc;
    }
    return table;
}
constexpr auto kCrcTable = makeCrcTable();

void seekStart(FILE* file) {
    std::clearerr(file);
    std::fseek(file, 0, SEEK_SET);
}

}  // namespace

uint32_t imageSpan(int32_t size) {
    return (static_cast<uint32_t>(size) + 0xFFFFU) & ~uint32_t{0xFFFF};
}

uint32_t imageSizeKiB(int32_t size) {
    return (static_cast<uint32_t>(size) + 512U) / 1024U;
}

void crc16Step(uint8_t byte, uint16_t& crc) {
    for (int bit = 0; bit < 8; ++bit) {
        bool low = ((crc ^ byte) & 1U) != 0;
        crc = static_cast<uint16_t>(crc >> 1);
        if (low) crc = static_cast<uint16_t>(crc ^ 0x8408U);
        byte = static_cast<uint8_t>(byte >> 1);
    }
}

uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFFU]);
    return crc;
}

int32_t imageFileSize(FILE* file) {
    const int64_t length = file_length(file);
    if (length < 0 || length > INT32_MAX) {
        failRun("Image file is larger than 2 GiB: its size cannot be sent to the mobile\n");
    }
    return static_cast<int32_t>(length);
}

void openImage(const char* name) {
    consolePrint("\nOpening '%s' ....", name);
    FILE* file = file_open_regular(name);
    consoleWrite(file != nullptr ? "Done\n" : "Failed\n");
    if (file == nullptr && answersGiven(run().runConfig)) {
        // Nobody is there to type another name.
        consoleNote("%s: %s", name, file_open_failure());
        setStopReason((std::string(name) + ": " + file_open_failure()).c_str());
        abortRun(run().runPort);
    }
    while (file == nullptr) {
        consoleDropTypedAhead();
        consoleWrite("\nDownload filename: ");
        static char typed[kTypedNameSize];
        bool tooLong = false;
        if (!consoleReadLine(typed, sizeof typed, &tooLong)) {
            // Nobody can type a name: stop instead of prompting forever.
            consoleWrite("\nNo file name: the console input has ended. The run stops.\n");
            abortRun(run().runPort);
        }
        if (std::strchr(typed, kCtrlC) != nullptr) interruptRun();
        file = tooLong ? nullptr : file_open_regular(typed);
        if (file == nullptr) consolePrint("Could not open: %s\n", typed);
    }
    ImageFile& image = run().currentImage;
    if (image.stream != nullptr) std::fclose(image.stream);
    image.stream = file;
    image.size = imageFileSize(file);
    image.sizeKiB = imageSizeKiB(image.size);
    image.span = imageSpan(image.size);
}

ImageSums computeImageSums(FILE* file, Sha256* digest) {
    ImageSums sums{0, 0xFFFF};
    uint8_t buffer[65536];
    uint8_t group[4];
    size_t inGroup = 0;
    size_t got;
    seekStart(file);
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        sums.crc = crc16Update(sums.crc, buffer, got);
        if (digest != nullptr) sha256_update(digest, buffer, got);
        for (size_t i = 0; i < got; ++i) {
            group[inGroup++] = buffer[i];
            if (inGroup == 4) {
                sums.checksum += uint32_t{group[0]} | uint32_t{group[1]} << 8 |
                                 uint32_t{group[2]} << 16 | uint32_t{group[3]} << 24;
                inGroup = 0;
            }
        }
    }
    if (inGroup != 0) {
        // A short last group is filled with 0xFF, in the sum and the CRC alike.
        for (size_t k = inGroup; k < 4; ++k) {
            group[k] = 0xFF;
            crc16Step(0xFF, sums.crc);
        }
        sums.checksum += uint32_t{group[0]} | uint32_t{group[1]} << 8 | uint32_t{group[2]} << 16 |
                         uint32_t{group[3]} << 24;
    }
    seekStart(file);
    return sums;
}

bool checkSignature(const RunConfig& config, FILE* file) {
    if (config.target != TargetRb7) return true;
    long position = std::ftell(file);
    bool wrong = std::fseek(file, 68, SEEK_SET) != 0;
    for (int i = 0; i < 2 && !wrong; ++i)
        wrong = std::fgetc(file) != 0xCB;
    std::clearerr(file);
    std::fseek(file, position < 0 ? 0 : position, SEEK_SET);
    if (!wrong) return true;
    return askYesNo("Data file has a wrong signature. It maybe an invalid image. Continue?[y/n]",
                    QuestionSignature);
}

namespace {

// An image's place in the 32-bit address space: its first address and how
// many bytes it reserves (0 for an empty file).
struct AddressRange {
    uint32_t first;
    uint32_t length;
};

AddressRange rangeOf(const RunConfig& config, int32_t index) {
    const auto first = static_cast<uint32_t>(config.imageAddresses[index]);
    const auto last = static_cast<uint32_t>(config.imageLastAddresses[index]);
    return {first, last - first + 1U};
}

// Whether the range's last address, its first plus its length minus one,
// stays in the signed 32-bit range (an empty image's last address is its
// first minus one).
bool fitsSigned(AddressRange r) {
    const int64_t last = int64_t{static_cast<int32_t>(r.first)} + int64_t{r.length} - 1;
    return last >= INT32_MIN && last <= INT32_MAX;
}

// The classic comparison, signed and inclusive: the new image's first or last
// address inside the earlier one, or the earlier one inside the new one.
bool classicOverlap(AddressRange earlier, AddressRange added) {
    const auto first = [](AddressRange r) { return static_cast<int32_t>(r.first); };
    const auto last = [](AddressRange r) { return static_cast<int32_t>(r.first + r.length - 1U); };
    const auto inside = [&](int32_t at, AddressRange r) { return first(r) <= at && at <= last(r); };
    return inside(first(added), earlier) || inside(last(added), earlier) ||
           (first(added) <= first(earlier) && last(added) >= last(earlier));
}

// Whether two ranges share an address. Where an address overflows the signed
// range, the classic comparison goes wrong; for any 32-bit addresses: the
// distance from one start to the other, taken modulo 2^32, lies inside the
// first one.
bool rangesOverlap(AddressRange a, AddressRange b) {
    if (fitsSigned(a) && fitsSigned(b)) return classicOverlap(a, b);
    return b.first - a.first < a.length || a.first - b.first < b.length;
}

}  // namespace

bool checkOverlap(const RunConfig& config, int32_t index) {
    const AddressRange range = rangeOf(config, index);
    for (int32_t k = 0; k < index; ++k) {
        if (rangesOverlap(rangeOf(config, k), range)) {
            return askYesNo(
                "Data file overlapping in mobile memory with previous file. Continue?[y/n]",
                QuestionOverlap);
        }
    }
    return true;
}

ImageSums checkImage(RunConfig& config, int32_t index, std::string* sha256) {
    openImage(config.imageNames[index]);
    const ImageFile& image = run().currentImage;
    // The last address wraps in 32 bits like the phone's address arithmetic.
    config.imageLastAddresses[index] =
        static_cast<int32_t>(static_cast<uint32_t>(config.imageAddresses[index]) + image.span - 1U);
    if (!checkSignature(config, image.stream)) abortRun(run().runPort);
    // Only where someone reads it: the cryptography's set-up costs memory.
    const bool wanted = eventsOn() || sha256 != nullptr || config.expectedImages[index].given;
    Sha256* digesting = wanted ? sha256_begin() : nullptr;
    const ImageSums sums = computeImageSums(image.stream, digesting);
    const std::string digest = sha256Hex(digesting);
    if (sha256 != nullptr) *sha256 = digest;
    requireExpected(config.imageNames[index], image.size, digest, config.expectedImages[index]);
    eventImage(index, config.imageNames[index], static_cast<uint32_t>(config.imageAddresses[index]),
               image.size, digest, sums.checksum, sums.crc);
    consolePrint("Filename:     %s\n", config.imageNames[index]);
    consolePrint("Size (bytes): %" PRId32 "\n", image.size);
    consolePrint("Checksum:     0x%08" PRIX32 "\n", sums.checksum);
    consolePrint("File CRC:     0x%02x\n", unsigned{sums.crc});
    consolePrint("Required CRC: 0x%02x\n", unsigned{kRequiredCrc});
    if (!checkOverlap(config, index)) abortRun(run().runPort);
    if (sums.crc != kRequiredCrc &&
        !askYesNo("CRC indicates that data file may be corrupt. Continue anyway [y/n]",
                  QuestionCrc)) {
        abortRun(run().runPort);
    }
    return sums;
}
