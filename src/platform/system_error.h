#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace quillmere {

// Every failed operating-system call surfaces as a SystemFailure: a std::system_error whose code is
// the errno (in std::generic_category, so callers can still test it) and which keeps the facts of
// the failure as fields: the errno, what was tried and on which path. Code that needs to know
// where or why a call failed asks the fields, never the text, so rewording a message can change
// nothing but the message.
//
// Its what() is the sentence a user reads, in Chinese, made from those fields alone: what was
// tried, on which path, and why, with the errno's symbolic name for logs and bug reports:
// `无法打开“/照片/DSC_4001.CR3”：没有那个文件或目录（ENOENT）`. The window and request mode show that
// text as it is, so it never depends on the system's locale or its language packages.
//
// `operation` is one of the verbs the file services use ("examine", "open", "create", "read",
// "write", "flush", "hash", "list", "remove", "read the link", ...); a move names its source in
// the operation as `move "<from>" to` and its target as the path, and is kept as the operation
// "move" with the source apart.
class SystemFailure : public std::system_error {
 public:
  // Why the call failed, where the errno alone does not say it.
  enum class Reason {
    errnoValue,     // the errno's own reason
    noFileSlots,    // ENOSPC from a file system out of file entries (inodes), with space left
    notRegularFile  // a path that exists but is not a regular file where one is needed
  };

  SystemFailure(int error, std::string_view operation, std::string_view path,
                Reason reason = Reason::errnoValue);

  // The errno, or 0 for a path that is not a regular file (errno has no code for that).
  int error() const noexcept { return m_reason == Reason::notRegularFile ? 0 : code().value(); }
  Reason reason() const noexcept { return m_reason; }
  const std::string& operation() const noexcept { return m_operation; }
  // The path the call was made on; for a move, its target.
  const std::string& path() const noexcept { return m_path; }
  // A move's source; empty for every other operation.
  const std::string& source() const noexcept { return m_source; }

  // Whether the call was made on a path that begins with `hidden` (either side of a move): the
  // folder, something inside it, or a file named after it beside it.
  bool concerns(std::string_view hidden) const noexcept;
  // The same failure with `hidden` (the start of one of its paths) told as `shown`
  // in the first of its paths that lies there, the source of a move before its target: for a
  // caller that has to name the place the user knows instead of the one the call was made on.
  SystemFailure retold(std::string_view hidden, std::string_view shown) const;
  // The same failure with the first of its paths that lies in `hidden` told as `folder`, whole:
  // for a file that is gone with its folder, where only the folder around it can be named.
  SystemFailure toldAs(std::string_view hidden, std::string_view folder) const;

  const char* what() const noexcept override { return m_text.what(); }

 private:
  SystemFailure(std::error_code code, std::string operation, std::string source, std::string path,
                Reason reason);
  // `hidden` replaced by `shown` at the start of the first path in it, the rest of that path kept
  // or not.
  SystemFailure replacing(std::string_view hidden, std::string_view shown, bool keepRest) const;

  std::string m_operation;
  std::string m_source;
  std::string m_path;
  Reason m_reason;
  // The sentence, made once from the fields above; a runtime_error's copies share it and never
  // throw, as an exception's copies must not.
  std::runtime_error m_text;
};

[[noreturn]] void throwSystemError(int error, std::string_view operation, std::string_view path);

// The error of a failed creation in the open folder `folderFd`. ENOSPC is also what a file system
// answers when it has no file entries (inodes) left though space is free; said as "disk full",
// the user would look for space that is there, so that case gets its own words.
[[noreturn]] void throwCreationError(int error, int folderFd, std::string_view path);

// The same kind of error for a path that exists but is not a regular file where one is needed (a
// folder, a FIFO or a device swapped in at a photo's path): `无法打开“<path>”：不是普通文件`.
[[noreturn]] void throwNotRegularFile(std::string_view path);
// Whether an error is throwNotRegularFile's.
bool isNotRegularFileError(const std::error_code& code);

// The sentence of a SystemFailure, from its fields.
std::string systemFailureText(const SystemFailure& failure);
// The text throwSystemError gives its error.
std::string systemErrorText(int error, std::string_view operation, std::string_view path);
// Why, for one errno: `没有那个文件或目录（ENOENT）`; errnos outside the table keep their number.
std::string errnoText(int error);

}  // namespace quillmere
