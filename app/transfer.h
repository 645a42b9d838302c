// Writing one image: loader commands, the 1024-byte blocks with their
// progress glyphs, and the verification against the phone's sums.
#pragma once

#include <cstdint>

#include "app/command_line.h"

constexpr uint32_t kBlockSize = 1024;

enum BlockKind : int32_t { BlockData = 0, BlockZero = 1, BlockBlank = 2 };

constexpr const char* kBlankMarker = "__BLANKBLANK__";
constexpr const char* kZeroMarker = "__ZERO__ZERO__";

// Reads up to length bytes of the current image and sends them, or a marker
// in their place.
BlockKind sendBlock(uint32_t length);

void showProgress(BlockKind kind);

// The checks and the transfer of image index; true when the phone's checksum
// and CRC match the file's.
bool transferImage(RunConfig& config, int32_t index);
