// UTF-8 names to the ANSI code page with the system's conversion calls,
// asked to report characters that the code page cannot hold instead of
// putting a look-alike or a "?" in silently.
#include <windows.h>

#include <climits>

#include "runtime/core/encoding.h"

namespace brindax {

bool utf8_to_ansi_exact(std::string_view utf8, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  if (!is_valid_utf8(utf8) || utf8.size() > INT_MAX / 2) {
    *out = ascii_with_question_marks(utf8);
    return false;
  }
  const int length = static_cast<int>(utf8.size());
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (units <= 0) {
    *out = ascii_with_question_marks(utf8);
    return false;
  }
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), units);
  BOOL replaced = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0,
                                       "?", &replaced);
  if (size <= 0) {
    *out = ascii_with_question_marks(utf8);
    return false;
  }
  out->assign(static_cast<std::size_t>(size), '\0');
  replaced = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, out->data(), size, "?",
                      &replaced);
  return replaced == FALSE;
}

}  // namespace brindax
