// Threads and short waits for the FTP client. Implemented by thread_win32.cpp
// (CreateThread, Sleep, timeBeginPeriod) and thread_posix.cpp.
#pragma once

#include <cstdint>

namespace brindax::os {

// Starts `procedure(argument)` on a detached thread with a stack of
// `stack_size` bytes; false when the thread could not be started.
bool start_detached_thread(void (*procedure)(void* argument), void* argument,
                           std::int32_t stack_size);

// Raises the system timer resolution to 1 ms (never lowered again).
void raise_timer_resolution();

// Suspends the calling thread for `ms` milliseconds.
void sleep_ms(std::int32_t ms);

}  // namespace brindax::os
