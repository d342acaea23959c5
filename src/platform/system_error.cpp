#include "platform/system_error.h"

#include <string>

namespace quillmere {

namespace {

std::string describe(std::string_view operation, std::string_view path) {
  std::string what;
  what.reserve(operation.size() + path.size() + 10);
  what.append("cannot ").append(operation).append(" \"").append(path).append("\"");
  return what;
}

// errno has no code for "exists, but is not a regular file"; this category supplies that one text.
class FileKindCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "file kind"; }
  std::string message(int) const override { return "Not a regular file"; }
};

const std::error_category& fileKindCategory() {
  static const FileKindCategory category;
  return category;
}

}  // namespace

void throwNotRegularFile(std::string_view path) {
  throw std::system_error(1, fileKindCategory(), describe("open", path));
}

void throwSystemError(int error, std::string_view operation, std::string_view path) {
  const std::string what = describe(operation, path);
  // generic_category's message is strerror's text, which completes the description.
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace quillmere
