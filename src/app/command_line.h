#pragma once

#include <string_view>

namespace quillmere {

// What a command line asks for besides the two run modes.
enum class InformationRequest { none, help, version };

// `--help` or `--version` as the one and only argument. Every other shape, either word among
// further arguments included, is left to the mode selection unchanged: `--help extra` opens the
// window with those two entries, as it always has.
InformationRequest informationRequest(int argc, const char* const* argv);

// The two run modes in a few lines, pointing at the manual page.
std::string_view usageText();
// "quillmere-bridge " and the project's version.
std::string_view versionText();

// Writes the text asked for to standard output and answers the exit status: 0, or 1 when standard
// output cannot take it (a full disk, a closed pipe), so that a caller never mistakes a lost text
// for a printed one.
int printInformation(InformationRequest request);

}  // namespace quillmere
