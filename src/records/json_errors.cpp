#include "records/json_errors.h"

#include <regex>

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

std::string whereParsingStopped(const std::string& report, bool atTheEnd) {
  static const std::regex kPosition("line ([0-9]+), column ([0-9]+)");
  std::smatch position;
  if (!std::regex_search(report, position, kPosition)) {
    return atTheEnd ? "内容不完整" : "内容不是有效的 JSON";
  }
  const std::string place = "第 " + position[1].str() + " 行第 " + position[2].str() + " 列";
  return atTheEnd ? "内容在" + place + "意外结束" : place + "不是有效的 JSON";
}

}  // namespace quillmere
