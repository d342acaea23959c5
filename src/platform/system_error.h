#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace quillmere {

// Every failed operating-system call surfaces as a std::system_error whose code is the errno (in
// std::generic_category, so callers can still test it) and whose what() tells the user, in
// Chinese, what was tried, on which path, and why, with the errno's symbolic name for logs and bug
// reports: `无法打开“/照片/DSC_4001.CR3”：没有那个文件或目录（ENOENT）`. The window and request
// mode show that text as it is, so it never depends on the system's locale or its language
// packages.
//
// `operation` is one of the verbs the file services use ("examine", "open", "create", "read",
// "write", "flush", "hash", "list", "remove", "read the link", ...); a move names its source in
// the operation as `move "<from>" to` and its target as the path.
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

// The same error as `failure`, code and category kept, told with `text`: for a caller that has to
// name another path than the call it passes on did.
[[noreturn]] void throwRetold(const std::system_error& failure, const std::string& text);

// The text throwSystemError gives its error.
std::string systemErrorText(int error, std::string_view operation, std::string_view path);
// Why, for one errno: `没有那个文件或目录（ENOENT）`; errnos outside the table keep their number.
std::string errnoText(int error);

}  // namespace quillmere
