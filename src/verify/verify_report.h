#pragma once

#include <string>

#include "verify/verify_batch.h"

namespace quillmere {

// The verification's answer for a calling program: {"count":N,"problems":[{"file":…,"problem":…}]},
// compact UTF-8 JSON, problems in the report's order. A file name that is not valid UTF-8 is
// written as printableFileName gives it.
std::string verifyResultJson(const VerifyReport& report);

// The answer for a person: one line per problem ("<file>：<problem>"), then one summary line,
// each ending in a line break.
std::string verifyReportText(const VerifyReport& report);

// A file name as it can be shown on one line of a terminal: control characters and bytes that
// are not UTF-8 are written as \xNN, so that no name can break a line, move the cursor or change
// the terminal's colours. Names that need none of this are returned as they are.
std::string printableFileName(const std::string& name);

}  // namespace quillmere
