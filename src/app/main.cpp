#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/request_mode.h"
#include "app/result_file.h"
#include "app/verify_mode.h"

#ifdef QUILLMERE_HAS_WINDOW
#include "thumbnail/worker_mode.h"
#include "window/run_window.h"
#endif

int main(int argc, char** argv) {
  using quillmere::RunMode;
#ifdef QUILLMERE_HAS_WINDOW
  // The window's picture processes, started by the window itself; not a mode for users.
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
#endif
  switch (quillmere::runModeOf(argc, argv)) {
    case RunMode::information:
      return quillmere::printInformation(quillmere::informationRequest(argc, argv));
    case RunMode::request:
      // Request mode never starts the windowing toolkit: it runs with no display at all.
      return quillmere::runRequestMode(argv[2], argv[3]);
    case RunMode::verify:
      // Like request mode, never touches the windowing toolkit.
      return quillmere::runVerifyMode(
          argv[2], argc == 4 ? std::optional<std::string>(argv[3]) : std::nullopt);
    case RunMode::misuse:
      quillmere::writeErrorLine(quillmere::misuseLine());
      return 2;
    case RunMode::window:
      break;
  }
#ifdef QUILLMERE_HAS_WINDOW
  return quillmere::runWindow(argc, argv);
#else
  return 0;
#endif
}
