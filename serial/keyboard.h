// Millisecond clock, the idle hook of every wait, and the console key test.
#pragma once

#include <cstdint>

struct SerialPort;

// Monotonic milliseconds; callers only use differences (32-bit wrap-around).
uint32_t tick_ms();

// Called on every pass of every wait; a negative result stops the wait with
// that code. The port may be null.
using IdleHook = int32_t (*)(SerialPort* port);
extern IdleHook idle_hook;
void set_idle_hook(IdleHook hook);

// The default idle hook: dispatches window messages on Windows; on POSIX it
// gives up the processor briefly (polling the port, if any) and returns 0,
// or PORT_FAILED when the port's device has gone away.
int32_t pump_messages(SerialPort* port);

// 1 when a key press is waiting on the console input, else 0. Consumes nothing.
int key_pressed();
// Reads one key and translates it to a PC extended key code (F1 = 0x3B00...).
int32_t read_key();

// Test seam: replace the clock (null restores the real one).
using TickSource = uint32_t (*)();
void set_tick_source(TickSource source);
