#pragma once

namespace brindax {

// The process entry: starts the runtime, fills the built-in settings, runs
// the mode named by the first parameter ("UpdateAvailable", "MajAll",
// "MajLocal"), installs everything when no local version list exists yet,
// and ends the process. Never returns.
[[noreturn]] void updater_main();

}  // namespace brindax
