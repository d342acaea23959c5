#include "app/command_line.h"
#include "app/request_mode.h"

#ifdef QUILLMERE_HAS_WINDOW
#include "window/run_window.h"
#endif

int main(int argc, char** argv) {
  const quillmere::InformationRequest asked = quillmere::informationRequest(argc, argv);
  if (asked != quillmere::InformationRequest::none) return quillmere::printInformation(asked);
  if (quillmere::isRequestMode(argc, argv)) {
    // Request mode never starts the windowing toolkit: it runs with no display at all.
    return quillmere::runRequestMode(argv[2], argv[3]);
  }
#ifdef QUILLMERE_HAS_WINDOW
  return quillmere::runWindow(argc, argv);
#else
  return 0;
#endif
}
