// Threads and waits on POSIX.
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "net/os_thread.h"

namespace brindax::os {
namespace {

struct ThreadStart {
  void (*procedure)(void*);
  void* argument;
};

void* thread_entry(void* parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.procedure(start.argument);
  return nullptr;
}

}  // namespace

bool start_detached_thread(void (*procedure)(void* argument), void* argument,
                           std::int32_t stack_size) {
  auto* start = new (std::nothrow) ThreadStart{procedure, argument};
  if (start == nullptr) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    delete start;
    return false;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes,
                            std::max<std::size_t>(static_cast<std::size_t>(stack_size),
                                                  PTHREAD_STACK_MIN));
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, thread_entry, start) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) delete start;
  return started;
}

void raise_timer_resolution() {}

void sleep_ms(std::int32_t ms) {
  if (ms < 0) ms = 0;
  timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

}  // namespace brindax::os
