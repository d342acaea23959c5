#include "records/json.h"

#include <nlohmann/json.hpp>

#include <string>

#include "records/json_errors.h"
#include "records/request_reader.h"

namespace quillmere {

namespace {

using nlohmann::json;

std::string at(const std::string& where, const char* key) { return jsonPlace(where, key); }

[[noreturn]] void fail(const char* record, const std::string& detail) {
  failDecoding(record, detail);
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

json parse(std::string_view bytes, const char* record) {
  const json::parser_callback_t dropDeepValues = [](int depth, json::parse_event_t, json&) {
    return depth <= kMaxDepth;
  };
  requireNoNul(bytes, record);
  try {
    return json::parse(bytes.begin(), bytes.end(), dropDeepValues);
  } catch (const json::parse_error& error) {
    fail(record, whereParsingStopped(bytes, error.byte));
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

BatchRequest batchRequestFromJson(std::string_view bytes) { return readBatchRequest(bytes); }

BatchResult batchResultFromJson(std::string_view bytes) {
  constexpr const char* kRecord = "导出结果";
  const json document = parse(bytes, kRecord);
  requireObject(document, kRecord, "");
  return BatchResult{optionalString(document, "directory", kRecord, ""),
                     requireInteger(document, "count", kRecord, ""),
                     optionalString(document, "error", kRecord, "")};
}

}  // namespace quillmere
