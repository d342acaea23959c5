#pragma once

#include <string>

#include "platform/file_system.h"

namespace quillmere {

inline constexpr const char* kTooManyPhotosMessage = "本次照片过多，请分批导出。";
inline constexpr const char* kCannotSaveResultLine = "无法保存导出结果。\n";
// Request files of this many bytes or more are refused before they are parsed.
inline constexpr std::size_t kLargestRequestFile = 4'194'304;

// Reads the request, runs the batch, writes the result file atomically and answers the exit
// status: 0 success, 1 a result carrying an error, 2 the result could not be saved (after writing
// the one standard-error line). Writes nothing else anywhere but the batch's destination.
// The request may be a pipe or FIFO; the result path is honoured as writeTargetOf describes.
// While the batch runs and its result is written, SIGTERM, SIGINT and SIGHUP stop the batch
// (rolled back, answered with kBatchStoppedMessage) and SIGPIPE and SIGXFSZ are ignored; call it
// on the main thread before any other thread exists (see StopSignals).
int runRequestMode(const std::string& requestPath, const std::string& resultPath,
                   FileSystem& fs = posixFileSystem());

}  // namespace quillmere
