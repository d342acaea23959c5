#pragma once

namespace quillmere {

// Window mode: runs the desktop window until it is closed or quit and returns the exit status.
// Qt takes its own options out of the arguments; every other argument after the program path is
// a file the desktop asked the application to open, added as a render.
int runWindow(int argc, char** argv);

}  // namespace quillmere
