#include "records/json_errors.h"

#include <algorithm>

#include "records/json.h"

namespace quillmere {

std::string jsonPlace(const std::string& where, const char* key) {
  std::string path = where;
  if (!path.empty()) path += '.';
  path += '"';
  path += key;
  path += '"';
  return path;
}

void failDecoding(const char* record, const std::string& detail) {
  throw DecodingError(std::string("无法读取") + record + "：" + detail + "。");
}

void requireNoNul(std::string_view bytes, const char* record) {
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
    failDecoding(record, "第 " + std::to_string(nul + 1) + " 个字节是 NUL 字符");
  }
}

std::string whereParsingStopped(std::string_view bytes, std::size_t readCount) {
  const std::string_view read = bytes.substr(0, std::min(readCount, bytes.size()));
  const auto lineFeeds = static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t lineStart = lineFeeds == 0 ? 0 : read.rfind('\n') + 1;
  const std::string place = "第 " + std::to_string(lineFeeds + 1) + " 行第 " +
                            std::to_string(readCount - lineStart) + " 列";
  return readCount > bytes.size() ? "内容在" + place + "意外结束" : place + "不是有效的 JSON";
}

}  // namespace quillmere
