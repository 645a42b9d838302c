// The wire trace (--trace=FILE, an extension): every byte in both directions
// with a monotonic time in microseconds, its direction, the line speed in force
// and the stage of the run, as lines of hex and text; a block is one line with
// its size and kind. It wraps the port's traffic slots, so without it nothing
// on the wire path changes.
#pragma once

#include <cstdint>

struct SerialPort;

enum class TraceStage { Enq, Irom, LoaderUpload, LoaderCommands, Blocks, Dongle };

// Opens the trace file; false when it cannot be written.
bool traceOpen(const char* path);
// Puts the trace between the run and the port, just opened at openSpeed.
void traceAttach(SerialPort* port, int32_t openSpeed);
// The stage that the next bytes belong to; the previous one is returned.
TraceStage traceStage(TraceStage stage);
// The next wireBytes written are block `number` of `size` bytes: one line,
// kind "data", "blank" or "zero", instead of their hex.
void traceBlock(uint32_t number, uint32_t size, const char* kind, uint32_t wireBytes);
