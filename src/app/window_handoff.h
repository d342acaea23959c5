#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// The window and its picture workers are a second executable, so that request mode and --verify
// load none of the toolkit's libraries: their start-up stays a few milliseconds, and they run in
// an address space far too small for the toolkit.
inline constexpr std::string_view kWindowProgramName = "quillmere-bridge-window";

// Where the window executable of the program at `self` (its real path) is: beside it, as the
// build leaves both, or else at the installed place, a fixed path relative to the program's own
// folder. Never looked up on PATH: the program runs only its own window.
std::string windowProgramOf(const std::string& self);

// Replaces this process with the window executable, keeping the arguments, the environment and
// the process itself (the desktop's single-instance check and the workers' parent-death signal
// follow the process). Returns only when that cannot be done, having written one line naming the
// file and why to standard error, with the status to exit with.
int handOverToWindow(char** argv);

}  // namespace quillmere
