// Message requester: the modal notices through which the updater speaks.
#pragma once

#include <cstdint>

namespace brindax {

// Shows `text` under `title` (null reads as empty) with a MessageBoxA style.
// Windows: a modal box for the whole calling thread; returns the button
// pressed, 0 on failure. POSIX: one line "title: text" on standard error and,
// in a graphical session with a dialog program installed, a modal dialog that
// is waited for; the style is not used and the result is 1 (OK).
std::int32_t show_message(const char* title, const char* text, std::uint32_t style);

// show_message(title, text, 0): one OK button, no icon.
std::int32_t show_notice(const char* title, const char* text);

// Start-up of the user-interface services. Windows: common controls and COM.
// POSIX: nothing is needed.
void ui_library_init();

}  // namespace brindax
