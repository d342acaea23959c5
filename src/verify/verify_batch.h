#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace quillmere {

// What is wrong with one file of a batch folder, as a photographer reads it: the file, by its name
// in the folder (or the folder itself, by the path it was given as), and one Chinese sentence.
struct VerifyProblem {
  std::string file;
  std::string problem;

  friend bool operator==(const VerifyProblem&, const VerifyProblem&) = default;
};

// The outcome of verifying a folder. `isBatch` false: the folder could not be read as a batch at
// all, and `problems` holds the one reason. Otherwise `count` is the number of renders the
// manifest lists and `problems` every difference found, none when the batch is as it was saved:
// the manifest's own first, then the renders in manifest order, then files that do not belong.
struct VerifyReport {
  bool isBatch = true;
  std::size_t count = 0;
  std::vector<VerifyProblem> problems;
};

// Why a folder is not a batch.
inline constexpr const char* kNoManifestProblem =
    "文件夹里没有传输清单，这不是 Quillmere 批次文件夹。";
// Completed by a phrase saying what is wrong with the manifest: "传输清单无法识别（…）…".
inline constexpr const char* kUnrecognisedManifestStart = "传输清单无法识别（";
inline constexpr const char* kUnrecognisedManifestEnd = "），这个文件夹不能作为批次核对。";
inline constexpr const char* kManifestNotAFileProblem =
    "传输清单不是普通文件，这个文件夹不能作为批次核对。";
// Completed by the reason of the operating system, e.g. "没有访问权限（EACCES）", and "。".
inline constexpr const char* kFolderUnreadableStart = "无法读取这个文件夹：";
inline constexpr const char* kManifestUnreadableStart = "无法读取传输清单：";

// What can be wrong with a batch that was read.
inline constexpr const char* kManifestRewrittenProblem =
    "传输清单的写法已被改动，Quillmere 可能无法导入这个批次。";
inline constexpr const char* kRecordAlteredProblem =
    "传输清单中这张照片的记录已被改动，无法核对这张照片。";
// The manifest's values that are derived from others or named by the folder, each found to no
// longer belong. "variantId" is derived from four values and cannot tell which of them changed.
inline constexpr const char* kRenderIdAlteredProblem =
    "传输清单中这张照片的“renderId”已被改动，与照片内容不符。";
inline constexpr const char* kRenderSha256AlteredProblem =
    "传输清单中这张照片的“renderSha256”已被改动，与照片内容和它的“renderId”不符。";
inline constexpr const char* kVariantIdAlteredProblem =
    "传输清单中这张照片的“variantId”与它的“sourceSha256”“externalVariantId”和批次的"
    "“catalogFingerprint”不符，记录已被改动。";
inline constexpr const char* kBatchIdAlteredProblem =
    "传输清单的“transferBatchId”与批次文件夹的名称不符，清单已被改动或文件夹已改名。";
inline constexpr const char* kRenderTooLargeProblem =
    "这里的文件超过 512 MiB，不可能是批次保存的照片。";
inline constexpr const char* kRenderMissingProblem = "找不到这张照片，它可能已被删除、移走或改名。";
inline constexpr const char* kRenderNotAFileProblem =
    "这里应是一张照片，却是文件夹、链接或其他特殊文件。";
inline constexpr const char* kRenderUnreadableStart = "无法读取这张照片：";
inline constexpr const char* kRenderDiffersProblem =
    "照片内容与传输清单记录的不一致，文件已损坏或被改动。";
inline constexpr const char* kRenderChangedWhileReadProblem =
    "核对期间这张照片被其他程序改动，请稍后再核对。";
inline constexpr const char* kRenderDescriptionDiffersProblem =
    "照片的格式或尺寸与传输清单记录的不一致。";
inline constexpr const char* kExtraEntryProblem =
    "传输清单中没有它，批次文件夹里不应有清单以外的文件。";

// Raised when a caller asks a running verification to stop.
inline constexpr const char* kVerifyStoppedMessage = "核对已取消，批次没有核对完。";

// How far a verification is: bytes read so far and files finished (the manifest and each render).
struct VerifyProgress {
  std::uint64_t bytesDone = 0;
  std::size_t filesDone = 0;
  std::size_t fileCount = 0;  // 0 until the manifest has been read
};

// Hears a verification's progress, on the thread that called verifyBatch only, per chunk of
// 1 MiB or per file, and at least every tenth of a second while files are read. A stop requested
// through `stopFlag` (a signal handler's lock-free flag) ends the verification within one chunk
// with Stopped(kVerifyStoppedMessage).
struct VerifyObserver {
  std::function<void(const VerifyProgress&)> progress;
  const std::atomic<bool>* stopFlag = nullptr;
};

// Verifies a batch folder made by createBatch against its manifest, as the medium holds it: each
// file's cached pages are dropped before it is read, so the bytes checked are the device's, not
// what memory still holds. The manifest must be one this program writes (readBatchManifest), its
// "transferBatchId" the one the folder's name carries ("Quillmere-<id>"); every render it lists
// must be a regular file in the folder of at most 512 MiB, hashing to its "renderSha256" and still
// described by its format, width, height and bit depth, with its "renderId" and "variantId" still
// derived from what they were derived from (renderProblems); nothing else may be in the folder,
// hidden files included. Originals are not checked: the manifest records no path of one.
//
// Only reads: nothing in the folder is created, changed or removed. Everything is opened relative
// to the folder's descriptor and never through a link, so no manifest, however made, leads
// outside it. Each file is read once, two at a time on two threads (one when no second thread can
// be started), with read-ahead for a long sequential read.
//
// Problems with the folder's files are returned as values; a folder that cannot be read as a
// batch gives a report with isBatch false. Throws only when stopped (above) or on failures of
// the process itself, on either thread: std::bad_alloc when memory runs out, and the
// std::system_error of a call that found no descriptor or kernel memory left (isProcessFailure).
VerifyReport verifyBatch(const std::string& folderPath, FileSystem& fs = posixFileSystem(),
                         const VerifyObserver* observer = nullptr);

}  // namespace quillmere
