// A private copy of a runtime string for a system call or a command line,
// freed when the scope ends (api_string_copy / api_string_free).
#pragma once

#include "runtime/core/text.h"

namespace brindax {

class ApiText {
 public:
  explicit ApiText(const char* text) : copy_(api_string_copy(text)) {}
  ~ApiText() { api_string_free(copy_); }
  ApiText(const ApiText&) = delete;
  ApiText& operator=(const ApiText&) = delete;
  // Never null: the empty string when the copy could not be made.
  const char* get() const { return copy_ != nullptr ? copy_ : ""; }

 private:
  char* copy_;
};

}  // namespace brindax
