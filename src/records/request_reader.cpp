#include "records/request_reader.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/json.h"
#include "records/json_errors.h"

namespace quillmere {

namespace {

using nlohmann::json;

constexpr const char* kRecord = "导出请求";

// What a key of a record held: nothing (missing or null), a text, or a value of another kind.
struct Field {
  enum class Kind { missing, text, array, other } kind = Kind::missing;
  std::string text;

  void set(Kind k, std::string value = {}) {
    kind = k;
    text = std::move(value);
  }
};

// The four keys of one item, as its object is read.
struct ItemFields {
  Field sourcePath, renderPath, externalPhotoId, externalVariantId;

  Field* named(const std::string& key) {
    if (key == "sourcePath") return &sourcePath;
    if (key == "renderPath") return &renderPath;
    if (key == "externalPhotoId") return &externalPhotoId;
    if (key == "externalVariantId") return &externalVariantId;
    return nullptr;
  }
};

std::string requireText(const Field& field, const char* key, const std::string& where) {
  if (field.kind == Field::Kind::missing) failDecoding(kRecord, "缺少 " + jsonPlace(where, key));
  if (field.kind != Field::Kind::text) failDecoding(kRecord, jsonPlace(where, key) + " 不是文本");
  return field.text;
}

std::string requirePathText(const Field& field, const char* key, const std::string& where) {
  std::string path = requireText(field, key, where);
  if (path.find('\0') != std::string::npos) {
    failDecoding(kRecord, jsonPlace(where, key) + " 含有 NUL 字符");
  }
  return path;
}

// The events of nlohmann's reader, turned into the request as they come. Depth 1 is the
// document's own keys, depth 2 the elements of "items", depth 3 an element's keys; everything
// deeper, and everything under keys no record has, is only counted.
class RequestHandler {
 public:
  bool null() { return value(Field::Kind::missing); }
  bool boolean(bool) { return value(Field::Kind::other); }
  bool number_integer(json::number_integer_t) { return value(Field::Kind::other); }
  bool number_unsigned(json::number_unsigned_t) { return value(Field::Kind::other); }
  bool number_float(json::number_float_t, const std::string&) { return value(Field::Kind::other); }
  bool binary(json::binary_t&) { return value(Field::Kind::other); }
  bool string(std::string& text) { return value(Field::Kind::text, &text); }

  bool start_object(std::size_t) {
    if (m_depth == 0) m_documentIsObject = true;
    if (m_depth == 2 && m_itemsKey && !m_skipping) {
      // An element of "items" that is an object: its keys come next.
      m_item.emplace();
    } else {
      value(Field::Kind::other);
    }
    enter();
    return true;
  }
  bool end_object() {
    leave();
    if (m_depth == 2 && m_item) finishItem();
    return true;
  }
  bool start_array(std::size_t) {
    if (m_depth == 1 && !m_skipping && m_current == &m_items) {
      // "items" itself: a later "items" replaces an earlier one, as the last of duplicate keys wins.
      m_items.set(Field::Kind::array);
      m_pairs.clear();
      m_firstItemFault.reset();
      m_itemCount = 0;
      m_itemsKey = true;
      m_current = nullptr;
    } else {
      value(Field::Kind::other);
    }
    enter();
    return true;
  }
  bool end_array() {
    leave();
    if (m_depth == 1) m_itemsKey = false;
    return true;
  }
  bool key(std::string& name) {
    m_current = nullptr;
    if (m_skipping) return true;
    if (m_depth == 1) {
      if (name == "provider") m_current = &m_provider;
      if (name == "catalogId") m_current = &m_catalogId;
      if (name == "destination") m_current = &m_destination;
      if (name == "items") m_current = &m_items;
    } else if (m_depth == 3 && m_item) {
      m_current = m_item->named(name);
    }
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

  BatchRequest request() {
    if (!m_documentIsObject) failDecoding(kRecord, "内容 不是 JSON 对象");
    BatchRequest request{requireText(m_provider, "provider", ""),
                         requireText(m_catalogId, "catalogId", ""),
                         requirePathText(m_destination, "destination", ""),
                         {}};
    if (m_items.kind == Field::Kind::missing) failDecoding(kRecord, "缺少 \"items\"");
    if (m_items.kind != Field::Kind::array) failDecoding(kRecord, "\"items\" 不是数组");
    if (m_firstItemFault) throw DecodingError(*m_firstItemFault);
    request.items = std::move(m_pairs);
    return request;
  }

 private:
  // A value that is not an object or an array: kept where a record wants it, else dropped.
  bool value(Field::Kind kind, std::string* text = nullptr) {
    if (m_skipping) return true;
    if (m_depth == 2 && m_itemsKey) {
      // An element of "items" that is not an object.
      faultyItem(itemPlace() + " 不是 JSON 对象");
      ++m_itemCount;
    } else if (m_current) {
      m_current->set(kind, text ? std::move(*text) : std::string());
    }
    m_current = nullptr;
    return true;
  }

  void enter() {
    ++m_depth;
    // Below an object or array that no record wants, nothing is looked at until it ends.
    if (!m_skipping && m_depth > 1 && !(m_depth == 2 && m_itemsKey) &&
        !(m_depth == 3 && m_item)) {
      m_skipping = m_depth;
    }
  }
  void leave() {
    if (m_skipping == m_depth) m_skipping = 0;
    --m_depth;
  }

  std::string itemPlace() const { return "\"items\"[" + std::to_string(m_itemCount) + "]"; }

  // Only the first faulty item is ever reported, after the document's own keys; the items after
  // it are read for the document's sake, not kept.
  void faultyItem(std::string detail) {
    if (!m_firstItemFault) {
      m_firstItemFault = "无法读取" + std::string(kRecord) + "：" + detail + "。";
      m_pairs = {};
    }
  }

  void finishItem() {
    ItemFields fields = std::move(*m_item);
    m_item.reset();
    const std::string where = itemPlace();
    ++m_itemCount;
    if (m_firstItemFault) return;
    try {
      m_pairs.push_back(Pair{requirePathText(fields.sourcePath, "sourcePath", where),
                             requirePathText(fields.renderPath, "renderPath", where),
                             requireText(fields.externalPhotoId, "externalPhotoId", where),
                             requireText(fields.externalVariantId, "externalVariantId", where)});
    } catch (const DecodingError& fault) {
      m_firstItemFault = fault.what();
      m_pairs = {};
    }
  }

  std::size_t m_depth = 0;
  std::size_t m_skipping = 0;  // the depth whose value is being skipped, 0 when none is
  bool m_documentIsObject = false;
  bool m_itemsKey = false;  // inside the array of "items" (at depth 2)
  Field* m_current = nullptr;
  Field m_provider, m_catalogId, m_destination, m_items;
  std::optional<ItemFields> m_item;
  std::size_t m_itemCount = 0;
  std::vector<Pair> m_pairs;
  std::optional<std::string> m_firstItemFault;
};

}  // namespace

BatchRequest readBatchRequest(std::string_view bytes) {
  requireNoNul(bytes, kRecord);
  RequestHandler handler;
  try {
    json::sax_parse(bytes.begin(), bytes.end(), &handler);
  } catch (const json::parse_error& error) {
    failDecoding(kRecord, whereParsingStopped(bytes, error.byte));
  } catch (const json::exception&) {
    failDecoding(kRecord, "其中有数值超出了可读取的范围");
  }
  return handler.request();
}

}  // namespace quillmere
