#include "platform/system_error.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillmere {

namespace {

// What a user reads for an errno they can meet while choosing, reading and saving photos. Our own
// words, so that the text is the same whatever locale packages the system has.
struct Reason {
  int error;
  const char* name;
  const char* text;
};
constexpr Reason kReasons[] = {
    {ENOENT, "ENOENT", "没有那个文件或目录"},
    {EACCES, "EACCES", "没有访问权限"},
    {EPERM, "EPERM", "操作不被允许"},
    {EROFS, "EROFS", "文件系统是只读的"},
    {ENOSPC, "ENOSPC", "磁盘空间不足"},
    {EDQUOT, "EDQUOT", "超出了磁盘配额"},
    {EIO, "EIO", "输入/输出错误"},
    {ENAMETOOLONG, "ENAMETOOLONG", "文件名太长"},
    {ELOOP, "ELOOP", "符号链接的层数太多"},
    {EMLINK, "EMLINK", "链接数太多"},
    {EBUSY, "EBUSY", "设备或资源正忙"},
    {EFBIG, "EFBIG", "文件太大"},
    {ENOTDIR, "ENOTDIR", "不是目录"},
    {EISDIR, "EISDIR", "是一个目录"},
    {EMFILE, "EMFILE", "本程序打开的文件太多"},
    {ENFILE, "ENFILE", "系统中打开的文件太多"},
    {EXDEV, "EXDEV", "不能跨文件系统移动"},
    {EEXIST, "EEXIST", "文件已存在"},
    {ENOTEMPTY, "ENOTEMPTY", "目录不是空的"},
    {ENXIO, "ENXIO", "没有那个设备或地址"},
    {ENODEV, "ENODEV", "没有那个设备"},
    {EPIPE, "EPIPE", "管道的另一端已关闭"},
    {ENOMEM, "ENOMEM", "内存不足"},
    {EAGAIN, "EAGAIN", "资源暂时不可用"},
    {EINTR, "EINTR", "操作被中断"},
    {EINVAL, "EINVAL", "参数无效"},
    {ETXTBSY, "ETXTBSY", "文件正被执行"},
    {ESTALE, "ESTALE", "网络文件句柄已失效"},
    {EBADF, "EBADF", "文件描述符无效"},
    {EOVERFLOW, "EOVERFLOW", "数值超出了允许的范围"},
    {EOPNOTSUPP, "EOPNOTSUPP", "文件系统不支持此操作"},
    {ENOSYS, "ENOSYS", "系统不支持此功能"},
    {ETIMEDOUT, "ETIMEDOUT", "连接超时"},
    {ENOTCONN, "ENOTCONN", "连接已断开"},
    {ENOLCK, "ENOLCK", "没有可用的锁"},
    {ECANCELED, "ECANCELED", "操作已取消"},
    {EFAULT, "EFAULT", "地址无效"},
};

// What was tried, with "{}" where the quoted path goes.
struct Operation {
  std::string_view verb;
  std::string_view text;
};
constexpr Operation kOperations[] = {
    {"examine", "无法检查{}"},
    {"open", "无法打开{}"},
    {"create", "无法创建{}"},
    {"read", "无法读取{}"},
    {"write", "无法写入{}"},
    {"flush", "无法把{}写入磁盘"},
    {"sync", "无法把{}写入磁盘"},
    {"hash", "无法计算{}的校验值"},
    {"copy", "无法复制{}"},
    {"list", "无法列出{}的内容"},
    {"remove", "无法删除{}"},
    {"read the link", "无法读取链接{}"},
    {"read the current directory", "无法读取当前目录{}"},
    {"read random bytes from", "无法从{}读取随机数"},
};

constexpr std::string_view kNoFileSlotsText = "文件系统可建的文件数已满，磁盘仍有空间（ENOSPC）";

constexpr std::string_view kMovePrefix = "move \"";
constexpr std::string_view kMoveSuffix = "\" to";
constexpr std::string_view kMove = "move";

std::string quoted(std::string_view path) {
  std::string text;
  text.reserve(path.size() + 6);
  text.append("“").append(path).append("”");
  return text;
}

std::string filledIn(std::string_view pattern, std::string_view path) {
  const auto at = pattern.find("{}");
  std::string text(pattern.substr(0, at));
  text.append(quoted(path)).append(pattern.substr(at + 2));
  return text;
}

std::string attempt(const std::string& operation, const std::string& source,
                    const std::string& path) {
  for (const auto& known : kOperations) {
    if (known.verb == operation) return filledIn(known.text, path);
  }
  if (operation == kMove && !source.empty()) return "无法将" + quoted(source) + "移动到" + quoted(path);
  // An operation without a text of its own still names what was tried, in the caller's words.
  return "无法对" + quoted(path) + "执行 " + operation;
}

// errno has no code for "exists, but is not a regular file"; this category supplies that one.
class FileKindCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "file kind"; }
  std::string message(int) const override { return "不是普通文件"; }
};

const std::error_category& fileKindCategory() {
  static const FileKindCategory category;
  return category;
}

std::error_code codeOf(int error, SystemFailure::Reason reason) {
  if (reason == SystemFailure::Reason::notRegularFile) return {1, fileKindCategory()};
  return {error, std::generic_category()};
}

// The operation and the move's source, apart, as a caller of throwSystemError wrote them.
std::pair<std::string, std::string> operationAndSource(std::string_view operation) {
  if (operation.starts_with(kMovePrefix) && operation.ends_with(kMoveSuffix) &&
      operation.size() >= kMovePrefix.size() + kMoveSuffix.size()) {
    return {std::string(kMove),
            std::string(operation.substr(kMovePrefix.size(), operation.size() - kMovePrefix.size() -
                                                                 kMoveSuffix.size()))};
  }
  return {std::string(operation), {}};
}

// Whether `path` begins with `hidden`: the folder, a file in it, or a file named after it beside it
// (a staging folder's owner record, "<folder>.owner").
bool within(std::string_view path, std::string_view hidden) {
  return !hidden.empty() && path.starts_with(hidden);
}

}  // namespace

std::string errnoText(int error) {
  for (const auto& reason : kReasons) {
    if (reason.error == error) return std::string(reason.text) + "（" + reason.name + "）";
  }
  std::string text = "系统错误 " + std::to_string(error);
  if (const char* name = ::strerrorname_np(error)) text.append("（").append(name).append("）");
  return text;
}

SystemFailure::SystemFailure(int error, std::string_view operation, std::string_view path,
                             Reason reason)
    : SystemFailure(codeOf(error, reason), operationAndSource(operation).first,
                    operationAndSource(operation).second, std::string(path), reason) {}

SystemFailure::SystemFailure(std::error_code code, std::string operation, std::string source,
                             std::string path, Reason reason)
    : std::system_error(code),
      m_operation(std::move(operation)),
      m_source(std::move(source)),
      m_path(std::move(path)),
      m_reason(reason),
      m_text(systemFailureText(*this)) {}

bool SystemFailure::concerns(std::string_view folder) const noexcept {
  return within(m_source, folder) || within(m_path, folder);
}

SystemFailure SystemFailure::replacing(std::string_view hidden, std::string_view shown,
                                       bool keepRest) const {
  std::string source = m_source;
  std::string path = m_path;
  std::string& told = within(source, hidden) ? source : path;
  if (within(told, hidden)) told.replace(0, keepRest ? hidden.size() : told.size(), shown);
  return SystemFailure(code(), m_operation, std::move(source), std::move(path), m_reason);
}

SystemFailure SystemFailure::retold(std::string_view hidden, std::string_view shown) const {
  return replacing(hidden, shown, true);
}

SystemFailure SystemFailure::toldAs(std::string_view hidden, std::string_view folder) const {
  return replacing(hidden, folder, false);
}

std::string systemFailureText(const SystemFailure& failure) {
  const std::string tried = attempt(failure.operation(), failure.source(), failure.path());
  switch (failure.reason()) {
    case SystemFailure::Reason::noFileSlots:
      return tried + "：" + std::string(kNoFileSlotsText);
    case SystemFailure::Reason::notRegularFile:
      return tried + "：" + failure.code().message();
    case SystemFailure::Reason::errnoValue:
      break;
  }
  return tried + "：" + errnoText(failure.error());
}

std::string systemErrorText(int error, std::string_view operation, std::string_view path) {
  return SystemFailure(error, operation, path).what();
}

void throwCreationError(int error, int folderFd, std::string_view path) {
  struct statvfs space {};
  if (error == ENOSPC && ::fstatvfs(folderFd, &space) == 0 && space.f_files > 0 &&
      space.f_favail == 0 && space.f_bavail > 0) {
    throw SystemFailure(error, "create", path, SystemFailure::Reason::noFileSlots);
  }
  throwSystemError(error, "create", path);
}

void throwNotRegularFile(std::string_view path) {
  throw SystemFailure(0, "open", path, SystemFailure::Reason::notRegularFile);
}

bool isNotRegularFileError(const std::error_code& code) {
  return code.category() == fileKindCategory();
}

void throwSystemError(int error, std::string_view operation, std::string_view path) {
  throw SystemFailure(error, operation, path);
}

}  // namespace quillmere
