// The window executable: the desktop window and its picture workers, started by quillmere-bridge
// in place of itself. Users never run it directly; the arguments are the ones they gave
// quillmere-bridge.
#include "app/command_line.h"
#include "app/result_file.h"
#include "thumbnail/worker_mode.h"
#include "window/run_window.h"

int main(int argc, char** argv) {
  // The window's picture processes, started by the window from this same file.
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
  // Every other mode is quillmere-bridge's own; started here by hand, it must not become a window
  // that a calling program never closes.
  if (quillmere::runModeOf(argc, argv) != quillmere::RunMode::window) {
    quillmere::writeErrorLine(quillmere::misuseLine());
    return 2;
  }
  return quillmere::runWindow(argc, argv);
}
