#include "app/command_line.h"

#include <cstdio>
#include <cstring>

namespace quillmere {

namespace {

constexpr std::string_view kUsage =
    "Usage: quillmere-bridge [PHOTO...]\n"
    "       quillmere-bridge --request REQUEST RESULT\n"
    "       quillmere-bridge --verify FOLDER [RESULT]\n"
    "       quillmere-bridge --help | --version\n"
    "\n"
    "Without options, opens the window, listing the JPEG, PNG or TIFF renders named.\n"
    "With --request, saves one batch without a window: reads the batch request (JSON) from\n"
    "REQUEST, writes the batch result (JSON) to RESULT and exits with 0 when the batch was saved,\n"
    "1 when the result names an error, 2 when the result could not be written.\n"
    "With --verify, checks a saved batch FOLDER against its manifest, reading every file from\n"
    "the disk: each render present, unchanged (SHA-256) and still the image recorded, and no\n"
    "other file in the folder. Only reads; changes nothing. Originals are not checked: the\n"
    "manifest records no path of an original. Prints one line per problem and a summary, or\n"
    "writes them as JSON to RESULT, and exits with 0 when everything matches, 1 when something\n"
    "does not (or a signal stopped it), 2 when FOLDER cannot be read as a batch.\n"
    "\n"
    "The manual page tells the rest: man quillmere-bridge\n";

constexpr std::string_view kMisuse =
    "Usage: quillmere-bridge [PHOTO...] | --request REQUEST RESULT | --verify FOLDER [RESULT] | "
    "--help | --version\n";

constexpr std::string_view kVersion = "quillmere-bridge " QUILLMERE_VERSION "\n";

}  // namespace

InformationRequest informationRequest(int argc, const char* const* argv) {
  if (argc != 2) return InformationRequest::none;
  if (std::strcmp(argv[1], "--help") == 0) return InformationRequest::help;
  if (std::strcmp(argv[1], "--version") == 0) return InformationRequest::version;
  return InformationRequest::none;
}

RunMode runModeOf(int argc, const char* const* argv) {
  if (informationRequest(argc, argv) != InformationRequest::none) return RunMode::information;
  if (argc >= 2 && std::strcmp(argv[1], "--request") == 0) {
    return argc == 4 ? RunMode::request : RunMode::misuse;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--verify") == 0) {
    return argc == 3 || argc == 4 ? RunMode::verify : RunMode::misuse;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) return RunMode::misuse;
  }
  return RunMode::window;
}

std::string_view misuseLine() { return kMisuse; }

std::string_view usageText() { return kUsage; }

std::string_view versionText() { return kVersion; }

int printInformation(InformationRequest request) {
  const std::string_view text = request == InformationRequest::version ? kVersion : kUsage;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  // The text sits in stdio's buffer until the flush; only then is a write error known.
  const bool flushed = std::fflush(stdout) == 0;
  return written && flushed ? 0 : 1;
}

}  // namespace quillmere
