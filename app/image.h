// Image files: opening and measuring, checksum and CRC, and the checks that
// ask the user before an image is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/run_state.h"

struct Sha256;

// The CRC register left by a file that ends with its own frame check sequence.
constexpr uint16_t kRequiredCrc = 0xF0B8;

struct ImageSums {
    uint32_t checksum;
    uint16_t crc;
};

uint32_t imageSpan(int32_t size);
uint32_t imageSizeKiB(int32_t size);

// Opens the image as the run's current one, asking for other names until one
// opens, and measures it.
void openImage(const char* name);
// Length of an open file; leaves it at its start. Files beyond the int32
// range end the run (their size cannot be sent).
int32_t imageFileSize(FILE* file);

void crc16Step(uint8_t byte, uint16_t& crc);
uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length);
// digest (when given) takes every byte of the same pass.
ImageSums computeImageSums(FILE* file, Sha256* digest = nullptr);

bool checkSignature(const RunConfig& config, FILE* file);
bool checkOverlap(const RunConfig& config, int32_t index);

// The checks of image index: open, last address, signature, sums and
// SHA-256 (*sha256 when given; a file that is not the one --expect names
// ends the run), report, overlap, required CRC. Ends the run on a "no".
ImageSums checkImage(RunConfig& config, int32_t index, std::string* sha256 = nullptr);
