#pragma once

#include <string>

#include "verify/verify_batch.h"

namespace quillmere {

// The verification's answer for a calling program: {"count":N,"problems":[{"file":…,"problem":…}]},
// compact UTF-8 JSON, problems in the report's order. A file name that is not valid UTF-8 is
// written as printableFileName gives it.
std::string verifyResultJson(const VerifyReport& report);

// The answer for a person: one line per problem ("<file>：<problem>", the file as
// printableFileName gives it, an empty path as ""), then one summary line, each ending in a line
// break.
std::string verifyReportText(const VerifyReport& report);

// A file name as it can be shown on one line of a terminal: control characters (C0, DEL and C1),
// bidirectional format characters, line and paragraph separators, and bytes that are not UTF-8
// are written as \xNN, one for each byte, so that no name can break a line, move the cursor,
// change the terminal's colours or reorder what is shown after it. Names that need none of this
// are returned as they are.
std::string printableFileName(const std::string& name);

// How far a check has come, as one line: "正在核对：3 / 12 个文件，已读 41.5 MB".
std::string verifyProgressText(const VerifyProgress& progress);

}  // namespace quillmere
