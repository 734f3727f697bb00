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

}  // namespace brindax
