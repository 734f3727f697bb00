// Threads and waits on Windows.
#include <windows.h>

#include <mmsystem.h>

#include <new>

#include "net/os_thread.h"

namespace brindax::os {
namespace {

struct ThreadStart {
  void (*procedure)(void*);
  void* argument;
};

DWORD WINAPI thread_entry(LPVOID parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.procedure(start.argument);
  return 0;
}

}  // namespace

bool start_detached_thread(void (*procedure)(void* argument), void* argument,
                           std::int32_t stack_size) {
  auto* start = new (std::nothrow) ThreadStart{procedure, argument};
  if (start == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, static_cast<SIZE_T>(stack_size), thread_entry, start, 0,
                               nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);  // never joined
  return true;
}

void raise_timer_resolution() { timeBeginPeriod(1); }

void sleep_ms(std::int32_t ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

}  // namespace brindax::os
