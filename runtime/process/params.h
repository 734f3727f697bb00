// The program's own command-line parameters, scanned afresh on every call.
//
// Only the blank separates tokens; a token that starts with a double quote
// runs to the next double quote (or the end), and the scan goes on right
// behind it. Token -1 is the program's own name, token 0 the first parameter.
#pragma once

#include <cstdint>
#include <string>

namespace brindax {

// Part of start-up: the zero-filled record that holds the parameter cursor.
void parameter_library_init();
// The cursor: index of the parameter that a call with a negative index returns.
std::int32_t parameter_cursor();

// Producing operation: parameter `index` (0 or more sets the cursor first;
// negative takes the one at the cursor) without its enclosing quotes, or the
// empty string. The cursor advances by one only when a parameter was found.
char* program_parameter(std::int32_t index, std::int32_t offset);

// The tokenizer over the program's command line: the start of the token whose
// number equals the cursor, its length in `length_out`; advances the cursor.
// Length 0 when there is none (the cursor then stays).
const char* scan_command_line(std::int32_t* length_out);
// The same over a given text (the command line is taken from the system).
const char* scan_command_text(const char* text, std::int32_t* cursor, std::int32_t* length_out);

// The command line as the system presents it (GetCommandLineA on Windows).
const char* command_line();

// POSIX: keeps the program's arguments so that command_line() can present
// them the Windows way: joined by single blanks, an argument that is empty or
// holds a blank enclosed in double quotes, converted to the 8-bit text of the
// runtime. Windows: nothing (the system keeps the command line).
void set_program_arguments(int argc, char** argv);
// The joining rule on its own.
std::string join_command_line(int argc, const char* const* argv);

}  // namespace brindax
