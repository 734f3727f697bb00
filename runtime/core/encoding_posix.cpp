// UTF-8 names to 8-bit text where Latin-1 stands in for the code page.
#include "runtime/core/encoding.h"

namespace brindax {

bool utf8_to_ansi_exact(std::string_view utf8, std::string* out) {
  if (!is_valid_utf8(utf8)) {
    *out = ascii_with_question_marks(utf8);
    return false;
  }
  *out = utf8_to_latin1(utf8, '?');
  // Exact when no character became "?": the way back gives the same bytes.
  return latin1_to_utf8(*out) == utf8;
}

}  // namespace brindax
