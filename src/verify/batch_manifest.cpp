#include "verify/batch_manifest.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillmere {

namespace {

using nlohmann::json;

// The manifest nests three levels deep: the top object, its "items" array, the item objects.
constexpr std::size_t kDeepestNesting = 3;
// The widest object is an item, with eleven keys.
constexpr std::size_t kWidestObject = 11;

constexpr std::array<std::string_view, 6> kTopKeys = {
    "catalogFingerprint", "issuedAt", "items", "provider", "schemaVersion", "transferBatchId"};
constexpr std::array<std::string_view, 11> kItemKeys = {
    "bitDepth",       "externalPhotoId", "externalVariantId", "height",       "mediaFormat",
    "renderFilename", "renderId",        "renderSha256",      "sourceSha256", "variantId",
    "width"};
constexpr std::array<std::string_view, 2> kProviders = {"CAPTURE_ONE", "LIGHTROOM_CLASSIC"};
constexpr std::array<std::int64_t, 6> kBitDepths = {8, 10, 12, 14, 16, 32};
constexpr std::int64_t kLargestSide = 100'000;

// Refusals carry the phrase the caller shows; thrown only inside this file.
struct Refused {
  std::string phrase;
};

[[noreturn]] void refuse(std::string phrase) { throw Refused{std::move(phrase)}; }

// A value as the reader keeps it: a scalar as it came, a container by its kind alone (what is
// in a container the manifest does not have is refused or ignored while it is parsed).
struct Value {
  enum class Kind { null, boolean, integer, string, array, object };
  Kind kind = Kind::null;
  std::int64_t integer = 0;
  std::string text;
};

// The members of one object under the keys a manifest object has, in the order of `keys`; the
// members under other keys are only counted.
template <std::size_t N>
struct Fields {
  std::array<std::optional<Value>, N> known;
  std::size_t count = 0;  // members, known or not
};

// One element of "items": an object's fields, or the kind of what stands there instead.
struct ItemSlot {
  Value::Kind kind = Value::Kind::object;
  Fields<kItemKeys.size()> fields;
};

// Reads the document straight into the fields of the manifest's objects while nlohmann's parser
// reads it, building no document: nothing it keeps needs memory to be released, so memory
// running out anywhere unwinds cleanly as std::bad_alloc. Refuses as early as the shape allows:
// deeper nesting, a wider object, a longer array, a repeated key or a number that is not an
// integer of 64 bits stop the parse at once. Every event costs constant time beyond the bytes it
// carries, so decoding is linear in the input, whatever its shape.
class StrictReader final : public nlohmann::json_sax<json> {
 public:
  // What the document is at its top: an object read into `top` and `items`, or something else.
  std::optional<Value::Kind> rootKind;
  Fields<kTopKeys.size()> top;
  std::vector<ItemSlot> items;

  const std::string& refusal() const { return m_refusal; }

  bool null() override { return scalar(Value{}); }
  bool boolean(bool) override { return scalar(Value{Value::Kind::boolean, 0, {}}); }
  bool number_integer(number_integer_t value) override {
    return scalar(Value{Value::Kind::integer, value, {}});
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (value > static_cast<number_unsigned_t>(INT64_MAX)) return refuseWith("有数值超出范围");
    return scalar(Value{Value::Kind::integer, static_cast<std::int64_t>(value), {}});
  }
  bool number_float(number_float_t, const string_t&) override {
    return refuseWith("有数值不是整数或超出范围");
  }
  bool string(string_t& value) override {
    return scalar(Value{Value::Kind::string, 0, std::move(value)});
  }
  bool binary(binary_t&) override { return refuseWith("不是有效的 JSON"); }

  bool start_object(std::size_t) override { return open(Value::Kind::object); }
  bool key(string_t& name) override {
    Frame& object = m_open.back();
    if (std::ranges::find(object.keys, name) != object.keys.end()) {
      return refuseWith("有重复的键");
    }
    if (object.keys.size() >= kWidestObject) return refuseWith("有多余的键");
    m_field = -1;
    if (object.role == Role::top) m_field = indexOf(kTopKeys, name);
    if (object.role == Role::item) m_field = indexOf(kItemKeys, name);
    if (object.role == Role::top) ++top.count;
    if (object.role == Role::item) ++items.back().fields.count;
    object.keys.push_back(std::move(name));
    return true;
  }
  bool end_object() override {
    m_open.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return open(Value::Kind::array); }
  bool end_array() override {
    m_open.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    // Syntax errors, and numbers beyond a double's range, which the parser refuses itself.
    return refuseWith("不是有效的 JSON");
  }

 private:
  // What an open container is to the manifest; `document` stands for no container at all.
  enum class Role { document, top, items, item, other };
  struct Frame {
    Role role;
    bool isArray;
    std::size_t elements = 0;
    std::vector<std::string> keys;  // an object's keys so far, at most kWidestObject
  };

  template <std::size_t N>
  static int indexOf(const std::array<std::string_view, N>& keys, std::string_view name) {
    const auto found = std::ranges::find(keys, name);
    return found == keys.end() ? -1 : static_cast<int>(found - keys.begin());
  }

  bool refuseWith(const char* phrase) {
    if (m_refusal.empty()) m_refusal = phrase;
    return false;
  }

  // Counts a value where the parser is, refusing an array's element past kMostBatchPairs, and
  // sets `parent` to the role of the container it goes into.
  bool place(Role& parent) {
    parent = Role::document;
    if (m_open.empty()) return true;
    Frame& frame = m_open.back();
    if (frame.isArray && frame.elements++ >= kMostBatchPairs) return refuseWith("超过 500 项");
    parent = frame.role;
    return true;
  }

  // Keeps `value` where the manifest has a place for it.
  void keep(Role parent, Value value) {
    if (parent == Role::items) {
      items.push_back(ItemSlot{value.kind, {}});
    } else if (parent == Role::top && m_field >= 0) {
      top.known[static_cast<std::size_t>(m_field)] = std::move(value);
    } else if (parent == Role::item && m_field >= 0) {
      items.back().fields.known[static_cast<std::size_t>(m_field)] = std::move(value);
    }
  }

  bool scalar(Value value) {
    Role parent;
    if (!place(parent)) return false;
    if (parent == Role::document) {
      rootKind = value.kind;
    } else {
      keep(parent, std::move(value));
    }
    return true;
  }

  bool open(Value::Kind kind) {
    if (m_open.size() >= kDeepestNesting) return refuseWith("嵌套过深");
    Role parent;
    if (!place(parent)) return false;
    Role role = Role::other;
    const bool isArray = kind == Value::Kind::array;
    if (parent == Role::document) {
      rootKind = kind;
      if (!isArray) role = Role::top;
    } else {
      keep(parent, Value{kind, 0, {}});
      if (parent == Role::top && isArray && m_field == indexOf(kTopKeys, "items")) {
        role = Role::items;
      } else if (parent == Role::items && !isArray) {
        role = Role::item;
      }
    }
    m_open.push_back(Frame{role, isArray, 0, {}});
    return true;
  }

  std::vector<Frame> m_open;
  int m_field = -1;  // the index among its object's known keys of the last key read, or -1
  std::string m_refusal;
};

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool isDigest(std::string_view text) {
  return text.size() == 64 && std::ranges::all_of(text, isLowerHex);
}

// The canonical lower-case text of a UUID: 8-4-4-4-12 hex digits.
bool isUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isLowerHex(text[i])) return false;
  }
  return true;
}

// "2026-03-01T08:05:09Z": digits where the form has them.
bool isIssueTime(std::string_view text) {
  constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    if (kForm[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != kForm[i]) return false;
  }
  return true;
}

std::string_view extensionOf(std::string_view mediaFormat) {
  if (mediaFormat == "JPEG") return "jpg";
  if (mediaFormat == "TIFF") return "tif";
  if (mediaFormat == "PNG") return "png";
  return {};
}

// A name this program gives a stored render, and so one plain component of the folder: it can
// hold no "/", no "..", no NUL and cannot be the manifest's own name.
bool isRenderFileName(std::string_view name, std::string_view mediaFormat) {
  const std::string_view extension = extensionOf(mediaFormat);
  return name.size() == 37 + extension.size() && isUuid(name.substr(0, 36)) && name[36] == '.' &&
         name.substr(37) == extension;
}

std::string quotedKey(std::string_view key) { return "“" + std::string(key) + "”"; }

// Reads the fields of one object, knowing where it stands for the refusal's phrase.
template <std::size_t N>
class Members {
 public:
  Members(Fields<N>& fields, const std::array<std::string_view, N>& keys, std::string where)
      : m_fields(fields), m_keys(keys), m_where(std::move(where)) {}

  // Exactly the keys: the reader already refused repeats, so equal counts mean equal sets.
  void requireKeys(const std::string& where) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (!m_fields.known[i]) refuse(where + "缺少" + quotedKey(m_keys[i]));
    }
    if (m_fields.count != N) refuse(where + "有多余的键");
  }

  Value& value(std::string_view key) const {
    return *m_fields
                .known[static_cast<std::size_t>(std::ranges::find(m_keys, key) - m_keys.begin())];
  }

  std::string text(std::string_view key) const {
    Value& found = value(key);
    if (found.kind != Value::Kind::string) wrong(key);
    return std::move(found.text);
  }

  std::int64_t integer(std::string_view key) const {
    const Value& found = value(key);
    if (found.kind != Value::Kind::integer) wrong(key);
    return found.integer;
  }

  [[noreturn]] void wrong(std::string_view key) const {
    refuse(m_where + quotedKey(key) + "不符合格式");
  }

 private:
  Fields<N>& m_fields;
  const std::array<std::string_view, N>& m_keys;
  std::string m_where;
};

ManifestItem readItem(ItemSlot& slot, std::size_t index) {
  const std::string where = "第 " + std::to_string(index + 1) + " 项";
  if (slot.kind != Value::Kind::object) refuse(where + "不是对象");
  const Members members(slot.fields, kItemKeys, where + "的");
  members.requireKeys(where);

  ManifestItem item;
  item.image.mediaFormat = members.text("mediaFormat");
  if (extensionOf(item.image.mediaFormat).empty()) members.wrong("mediaFormat");
  item.image.width = members.integer("width");
  if (item.image.width < 1 || item.image.width > kLargestSide) members.wrong("width");
  item.image.height = members.integer("height");
  if (item.image.height < 1 || item.image.height > kLargestSide) members.wrong("height");
  item.image.bitDepth = members.integer("bitDepth");
  if (std::ranges::find(kBitDepths, item.image.bitDepth) == kBitDepths.end()) {
    members.wrong("bitDepth");
  }
  item.externalPhotoId = members.text("externalPhotoId");
  if (item.externalPhotoId.empty()) members.wrong("externalPhotoId");
  item.externalVariantId = members.text("externalVariantId");
  if (item.externalVariantId.empty()) members.wrong("externalVariantId");
  item.renderFilename = members.text("renderFilename");
  if (!isRenderFileName(item.renderFilename, item.image.mediaFormat)) {
    members.wrong("renderFilename");
  }
  item.renderId = members.text("renderId");
  if (!isUuid(item.renderId)) members.wrong("renderId");
  item.renderSha256 = members.text("renderSha256");
  if (!isDigest(item.renderSha256)) members.wrong("renderSha256");
  item.sourceSha256 = members.text("sourceSha256");
  if (!isDigest(item.sourceSha256)) members.wrong("sourceSha256");
  item.variantId = members.text("variantId");
  if (!isUuid(item.variantId)) members.wrong("variantId");
  return item;
}

Manifest readManifest(StrictReader& read) {
  if (read.rootKind != Value::Kind::object) refuse("不是 JSON 对象");
  const Members members(read.top, kTopKeys, "");
  members.requireKeys("");

  Manifest manifest;
  manifest.catalogFingerprint = members.text("catalogFingerprint");
  if (!isDigest(manifest.catalogFingerprint)) members.wrong("catalogFingerprint");
  manifest.issuedAt = members.text("issuedAt");
  if (!isIssueTime(manifest.issuedAt)) members.wrong("issuedAt");
  manifest.provider = members.text("provider");
  if (std::ranges::find(kProviders, manifest.provider) == kProviders.end()) {
    members.wrong("provider");
  }
  if (members.integer("schemaVersion") != kManifestSchemaVersion) members.wrong("schemaVersion");
  manifest.transferBatchId = members.text("transferBatchId");
  if (!isUuid(manifest.transferBatchId)) members.wrong("transferBatchId");

  if (members.value("items").kind != Value::Kind::array || read.items.empty()) {
    members.wrong("items");
  }
  std::set<std::string_view> names;
  manifest.items.reserve(read.items.size());
  for (std::size_t i = 0; i < read.items.size(); ++i) {
    manifest.items.push_back(readItem(read.items[i], i));
    if (!names.insert(manifest.items.back().renderFilename).second) {
      refuse("第 " + std::to_string(i + 1) + " 项的文件名与前面的项重复");
    }
  }
  return manifest;
}

}  // namespace

ManifestReading readBatchManifest(std::string_view bytes) {
  if (bytes.size() > kLargestBatchManifest) return {std::nullopt, kManifestTooLargePhrase};
  // JSON text never holds a raw NUL, and the parser would take one for the end of the input.
  if (bytes.find('\0') != std::string_view::npos) return {std::nullopt, "不是有效的 JSON"};
  StrictReader reader;
  if (!json::sax_parse(bytes.begin(), bytes.end(), &reader)) {
    return {std::nullopt, reader.refusal().empty() ? "不是有效的 JSON" : reader.refusal()};
  }
  try {
    return {readManifest(reader), {}};
  } catch (const Refused& refused) {
    return {std::nullopt, refused.phrase};
  }
}

}  // namespace quillmere
