// Conversions between the runtime's 8-bit text and UTF-8 used where the
// system has no ANSI code page (Latin-1 stands in for it).
#pragma once

#include <string>
#include <string_view>

namespace brindax {

// Every byte is the character of the same value.
std::string latin1_to_utf8(std::string_view latin1);
// Characters above U+00FF become `replacement`; malformed sequences are taken
// byte for byte (so that a name that is no UTF-8 still maps to something).
std::string utf8_to_latin1(std::string_view utf8, char replacement = '?');

// True when the text is well-formed UTF-8: no stray or cut-off bytes, no
// overlong forms (C0 AE for "."), no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// A UTF-8 name as 8-bit text of the system's code page (Latin-1 where there is
// none). `out` always receives a readable form, with "?" for every character
// (or malformed byte) that has no 8-bit form; the result is true only when
// nothing had to be replaced, i.e. `out` names exactly what `utf8` names.
bool utf8_to_ansi_exact(std::string_view utf8, std::string* out);

// ASCII as it is, "?" for every other byte.
std::string ascii_with_question_marks(std::string_view text);

}  // namespace brindax
