#pragma once

#include <string_view>

namespace quillmere {

// What a command line asks for besides the two run modes.
enum class InformationRequest { none, help, version };

// `--help` or `--version` as the one and only argument. Every other shape, either word among
// further arguments included, is left to the mode selection unchanged: `--help extra` opens the
// window with those two entries, as it always has.
InformationRequest informationRequest(int argc, const char* const* argv);

// What a command line runs.
enum class RunMode {
  information,  // --help or --version, see informationRequest
  request,      // --request REQUEST RESULT
  verify,       // --verify FOLDER [RESULT]
  window,       // no options: the window, listing the files named
  misuse,       // an option not known here, or a known one with the wrong number of paths
};

// An argument beginning with "--" is an option wherever it stands: one not known, or a known one
// not in its one form, is misuse, never the name of a file for the window, so a mistyped command
// cannot open a window that a calling program will never close. Files whose names begin with one
// "-" still go to the window; one beginning with "--" can be named as "./--name".
RunMode runModeOf(int argc, const char* const* argv);

// The one line written to standard error on misuse, before the program ends with status 2.
std::string_view misuseLine();

// The two run modes in a few lines, pointing at the manual page.
std::string_view usageText();
// "quillmere-bridge " and the project's version.
std::string_view versionText();

// Writes the text asked for to standard output and answers the exit status: 0, or 1 when standard
// output cannot take it (a full disk, a closed pipe), so that a caller never mistakes a lost text
// for a printed one.
int printInformation(InformationRequest request);

}  // namespace quillmere
