#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/request_mode.h"
#include "app/result_file.h"
#include "app/verify_mode.h"
#include "app/window_handoff.h"
#include "picture_worker/picture_channel.h"

namespace {

// The window's picture processes are started from the window executable; one started through this
// program is handed on like the window itself rather than called misuse.
bool isPictureWorkerCall(int argc, char** argv) {
  return argc == 2 && argv[1] == quillmere::kPictureWorkerFlag;
}

}  // namespace

int main(int argc, char** argv) {
  using quillmere::RunMode;
  if (isPictureWorkerCall(argc, argv)) return quillmere::handOverToWindow(argv);
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
  // The toolkit and everything it loads live in the window executable alone.
  return quillmere::handOverToWindow(argv);
}
