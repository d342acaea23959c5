#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"

namespace quillmere {

inline constexpr const char* kCannotSaveVerifyResultLine = "无法保存核对结果。\n";
inline constexpr const char* kCannotPrintVerifyReportLine = "无法输出核对结果。\n";
inline constexpr const char* kResultInsideFolderLine =
    "核对结果不能保存在要核对的批次文件夹里，请换一个位置。\n";
// The check itself could not go on: the process ran out of memory, or of descriptors or kernel
// memory (completed by the system's reason, such as "本程序打开的文件太多（EMFILE）", and "。").
inline constexpr const char* kVerifyOutOfMemoryLine = "内存不足，无法完成核对。\n";
inline constexpr const char* kVerifyCannotRunStart = "无法完成核对：";


// Whether saving a result at `resultPath` would create or replace a file (the result itself, or
// the temporary file it is written through) inside the folder `folderPath` or any folder below
// it, however links and other spellings lead there. A FIFO or device is written into, never
// created, so it lands nowhere. Where nothing can be examined, writing decides: false.
bool resultLandsBelowFolder(const std::string& folderPath, const std::string& resultPath,
                            FileSystem& fs = posixFileSystem());

// `--verify FOLDER [RESULT]`: verifies a batch folder (verifyBatch) and answers the exit status:
// 0 when everything matches, 1 when something does not or a stop signal ended the check, 2 when
// the folder cannot be read as a batch, the answer cannot be delivered or the process itself ran
// out of memory or descriptors (after one line on standard error, and no answer). The answer is
// one line per problem and a summary on standard output, or, with a result path, the JSON result
// written as request mode writes its result, and nothing on standard output. While standard error
// is a terminal, a line there shows the progress.
//
// Writes nothing into the folder or below it: a result path that would put a file there is
// refused with status 2 before anything is read. SIGTERM, SIGINT and SIGHUP stop the check with
// status 1 and kVerifyStoppedMessage as the answer, even while the answer is being written into
// a pipe nobody reads: what stdout takes without waiting is written, then the stop message if it
// still fits (status 1), else kCannotPrintVerifyReportLine (status 2). Call it on the main thread
// before any other thread exists (see StopSignals).
int runVerifyMode(const std::string& folderPath, const std::optional<std::string>& resultPath,
                  FileSystem& fs = posixFileSystem());

}  // namespace quillmere
