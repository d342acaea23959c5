#include "records/json.h"

#include <nlohmann/json.hpp>

#include <regex>
#include <string>

namespace quillmere {

namespace {

using nlohmann::json;

// Where in the document a value sits, for decoding errors: `"items"[2]."renderPath"`.
std::string at(const std::string& where, const char* key) {
  std::string path = where;
  if (!path.empty()) path += '.';
  path += '"';
  path += key;
  path += '"';
  return path;
}

[[noreturn]] void fail(const char* record, const std::string& detail) {
  throw DecodingError(std::string("无法读取") + record + "：" + detail + "。");
}

const json& requireObject(const json& value, const char* record, const std::string& where) {
  if (!value.is_object()) {
    fail(record, (where.empty() ? std::string("内容") : where) + " 不是 JSON 对象");
  }
  return value;
}

std::string requireString(const json& object, const char* key, const char* record,
                          const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) fail(record, "缺少 " + at(where, key));
  if (!found->is_string()) fail(record, at(where, key) + " 不是文本");
  return found->get<std::string>();
}

// A path is handed to the operating system as a C string, which ends at the first NUL: a path
// holding one would name another file than the one written ("/x/a.jpg\u0000.tif" is "/x/a.jpg").
std::string requirePath(const json& object, const char* key, const char* record,
                        const std::string& where) {
  std::string path = requireString(object, key, record, where);
  if (path.find('\0') != std::string::npos) {
    fail(record, at(where, key) + " 含有 NUL 字符");
  }
  return path;
}

std::optional<std::string> optionalString(const json& object, const char* key, const char* record,
                                          const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) fail(record, at(where, key) + " 不是文本");
  return found->get<std::string>();
}

std::int64_t requireInteger(const json& object, const char* key, const char* record,
                            const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) fail(record, "缺少 " + at(where, key));
  if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<std::int64_t>();
  if (found->is_number_unsigned()) {
    const auto value = found->get<std::uint64_t>();
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(value);
    fail(record, at(where, key) + " 超出范围");
  }
  fail(record, at(where, key) + " 不是整数");
}

Pair readPair(const json& value, const char* record, const std::string& where) {
  requireObject(value, record, where);
  return Pair{requirePath(value, "sourcePath", record, where),
              requirePath(value, "renderPath", record, where),
              requireString(value, "externalPhotoId", record, where),
              requireString(value, "externalVariantId", record, where)};
}

// No record nests deeper than three levels. Values deeper than this are dropped while parsing, so a
// file of millions of brackets costs neither memory nor stack; such a value can only sit under an
// unknown key, which is ignored anyway, or where a record is required, which then fails as usual.
constexpr int kMaxDepth = 64;

// Where the reader gave up, from its own report ("... at line 3, column 14: ..."); the reader's
// English reason is left out, the line and column say enough to find the fault.
std::string whereParsingStopped(const std::string& report, bool atTheEnd) {
  static const std::regex kPosition("line ([0-9]+), column ([0-9]+)");
  std::smatch position;
  if (!std::regex_search(report, position, kPosition)) {
    return atTheEnd ? "内容不完整" : "内容不是有效的 JSON";
  }
  const std::string place = "第 " + position[1].str() + " 行第 " + position[2].str() + " 列";
  return atTheEnd ? "内容在" + place + "意外结束" : place + "不是有效的 JSON";
}

json parse(std::string_view bytes, const char* record) {
  const json::parser_callback_t dropDeepValues = [](int depth, json::parse_event_t, json&) {
    return depth <= kMaxDepth;
  };
  // JSON text never holds a raw NUL byte, but the reader takes one outside a string for the end of
  // the input and would ignore everything after it; the whole document is read or none of it.
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
    fail(record, "第 " + std::to_string(nul + 1) + " 个字节是 NUL 字符");
  }
  try {
    return json::parse(bytes.begin(), bytes.end(), dropDeepValues);
  } catch (const json::parse_error& error) {
    fail(record, whereParsingStopped(error.what(), error.byte > bytes.size()));
  } catch (const json::exception&) {
    // Valid JSON the library cannot hold, such as a number beyond the range of a double (1e400).
    fail(record, "其中有数值超出了可读取的范围");
  }
}

std::string dump(const json& value) {
  // Replacing rather than throwing on malformed UTF-8 means writing a record can never fail.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json pairObject(const Pair& pair) {
  return json{{"sourcePath", pair.sourcePath},
              {"renderPath", pair.renderPath},
              {"externalPhotoId", pair.externalPhotoId},
              {"externalVariantId", pair.externalVariantId}};
}

}  // namespace

std::string toJson(const Pair& pair) { return dump(pairObject(pair)); }

std::string toJson(const BatchRequest& request) {
  json items = json::array();
  for (const auto& pair : request.items) items.push_back(pairObject(pair));
  return dump(json{{"provider", request.provider},
                   {"catalogId", request.catalogId},
                   {"destination", request.destination},
                   {"items", std::move(items)}});
}

std::string toJson(const BatchResult& result) {
  json object = json::object();
  if (result.directory) object["directory"] = *result.directory;
  object["count"] = result.count;
  if (result.error) object["error"] = *result.error;
  return dump(object);
}

Pair pairFromJson(std::string_view bytes) {
  constexpr const char* kRecord = "照片配对";
  return readPair(parse(bytes, kRecord), kRecord, "");
}

BatchRequest batchRequestFromJson(std::string_view bytes) {
  constexpr const char* kRecord = "导出请求";
  const json document = parse(bytes, kRecord);
  requireObject(document, kRecord, "");
  BatchRequest request{requireString(document, "provider", kRecord, ""),
                       requireString(document, "catalogId", kRecord, ""),
                       requirePath(document, "destination", kRecord, ""),
                       {}};
  const auto items = document.find("items");
  if (items == document.end() || items->is_null()) fail(kRecord, "缺少 \"items\"");
  if (!items->is_array()) fail(kRecord, "\"items\" 不是数组");
  request.items.reserve(items->size());
  for (std::size_t i = 0; i < items->size(); ++i) {
    request.items.push_back(
        readPair((*items)[i], kRecord, "\"items\"[" + std::to_string(i) + "]"));
  }
  return request;
}

BatchResult batchResultFromJson(std::string_view bytes) {
  constexpr const char* kRecord = "导出结果";
  const json document = parse(bytes, kRecord);
  requireObject(document, kRecord, "");
  return BatchResult{optionalString(document, "directory", kRecord, ""),
                     requireInteger(document, "count", kRecord, ""),
                     optionalString(document, "error", kRecord, "")};
}

}  // namespace quillmere
