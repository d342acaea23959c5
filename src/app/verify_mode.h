#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"

namespace quillmere {

inline constexpr const char* kCannotSaveVerifyResultLine = "无法保存核对结果。\n";
inline constexpr const char* kCannotPrintVerifyReportLine = "无法输出核对结果。\n";
inline constexpr const char* kResultInsideFolderLine =
    "核对结果不能保存在要核对的批次文件夹里，请换一个位置。\n";

// `--verify FOLDER [RESULT]`: verifies a batch folder (verifyBatch) and answers the exit status:
// 0 when everything matches, 1 when something does not or a stop signal ended the check, 2 when
// the folder cannot be read as a batch or the answer cannot be delivered (after one line on
// standard error). The answer is one line per problem and a summary on standard output, or, with
// a result path, the JSON result written as request mode writes its result, and nothing on
// standard output. While standard error is a terminal, a line there shows the progress.
//
// Writes nothing into the folder: a result path that would put a file there is refused with
// status 2 before anything is read. SIGTERM, SIGINT and SIGHUP stop the check with status 1 and
// kVerifyStoppedMessage as the answer; call it on the main thread before any other thread exists
// (see StopSignals).
int runVerifyMode(const std::string& folderPath, const std::optional<std::string>& resultPath,
                  FileSystem& fs = posixFileSystem());

}  // namespace quillmere
