// UTF-16 to the system's ANSI code page, replaced characters as the system
// replaces them by default.
#include <windows.h>

#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {

char* utf16_to_ansi_on_stack(const std::uint16_t* units, std::int32_t offset) {
  static const std::uint16_t kEmpty[1] = {0};
  if (units == nullptr) units = kEmpty;
  const auto* wide = reinterpret_cast<const wchar_t*>(units);
  int n = 1;
  while (units[n - 1] != 0) ++n;  // units with the terminator
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, n, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return string_stack_set_empty(offset);
  char* destination = string_stack_reserve(size - 1, offset);
  if (destination == nullptr) return string_stack_set_empty(offset);
  WideCharToMultiByte(CP_ACP, 0, wide, n, destination, size, nullptr, nullptr);
  destination[size - 1] = '\0';
  return destination;
}

}  // namespace brindax
