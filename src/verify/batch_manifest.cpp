#include "verify/batch_manifest.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
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

// Builds the document while nlohmann's parser reads it, refusing as early as the shape allows:
// deeper nesting, a wider object, a longer array, a repeated key or a number that is not an
// integer of 64 bits stop the parse at once. The parser itself keeps no recursion of its own.
class StrictBuilder final : public nlohmann::json_sax<json> {
 public:
  json& document() { return m_root; }
  const std::string& refusal() const { return m_refusal; }

  bool null() override { return add(json(nullptr)); }
  bool boolean(bool value) override { return add(json(value)); }
  bool number_integer(number_integer_t value) override { return add(json(value)); }
  bool number_unsigned(number_unsigned_t value) override {
    if (value > static_cast<number_unsigned_t>(INT64_MAX)) return refuseWith("有数值超出范围");
    return add(json(static_cast<number_integer_t>(value)));
  }
  bool number_float(number_float_t, const string_t&) override {
    return refuseWith("有数值不是整数或超出范围");
  }
  bool string(string_t& value) override { return add(json(std::move(value))); }
  bool binary(binary_t&) override { return refuseWith("不是有效的 JSON"); }

  bool start_object(std::size_t) override { return open(json::object()); }
  bool key(string_t& name) override {
    json& object = *m_open.back();
    if (object.contains(name)) return refuseWith("有重复的键");
    if (object.size() >= kWidestObject) return refuseWith("有多余的键");
    m_key = std::move(name);
    return true;
  }
  bool end_object() override {
    m_open.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_array() override {
    m_open.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    // Syntax errors, and numbers beyond a double's range, which the parser refuses itself.
    return refuseWith("不是有效的 JSON");
  }

 private:
  bool refuseWith(const char* phrase) {
    if (m_refusal.empty()) m_refusal = phrase;
    return false;
  }

  // Places a value where the parser is: the document itself, the next element of the open array,
  // or the member of the open object under the last key read.
  json* place(json value) {
    if (m_open.empty()) {
      m_root = std::move(value);
      return &m_root;
    }
    json& parent = *m_open.back();
    if (parent.is_array()) {
      if (parent.size() >= kMostBatchItems) {
        refuseWith("超过 500 项");
        return nullptr;
      }
      parent.push_back(std::move(value));
      return &parent.back();
    }
    json& member = parent[m_key];
    member = std::move(value);
    return &member;
  }

  bool add(json value) { return place(std::move(value)) != nullptr; }

  bool open(json container) {
    if (m_open.size() >= kDeepestNesting) return refuseWith("嵌套过深");
    json* placed = place(std::move(container));
    if (!placed) return false;
    // Pointers stay valid: a container is only appended to while it is the innermost one open.
    m_open.push_back(placed);
    return true;
  }

  json m_root;
  std::vector<json*> m_open;
  std::string m_key;
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

// Reads the members of one object, knowing where it stands for the refusal's phrase.
class Members {
 public:
  Members(const json& object, std::string where) : m_object(object), m_where(std::move(where)) {}

  const json& value(std::string_view key) const { return m_object.at(std::string(key)); }

  std::string text(std::string_view key) const {
    const json& found = value(key);
    if (!found.is_string()) wrong(key);
    return found.get<std::string>();
  }

  std::int64_t integer(std::string_view key) const {
    const json& found = value(key);
    if (!found.is_number_integer()) wrong(key);
    return found.get<std::int64_t>();
  }

  [[noreturn]] void wrong(std::string_view key) const {
    refuse(m_where + quotedKey(key) + "不符合格式");
  }

 private:
  const json& m_object;
  std::string m_where;
};

// Exactly these keys: the builder already refused repeats, so equal counts mean equal sets.
void requireKeys(const json& object, std::span<const std::string_view> keys,
                 const std::string& where) {
  for (const auto key : keys) {
    if (!object.contains(std::string(key))) refuse(where + "缺少" + quotedKey(key));
  }
  if (object.size() != keys.size()) refuse(where + "有多余的键");
}

ManifestItem readItem(const json& value, std::size_t index) {
  const std::string where = "第 " + std::to_string(index + 1) + " 项";
  if (!value.is_object()) refuse(where + "不是对象");
  requireKeys(value, kItemKeys, where);
  const Members members(value, where + "的");

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

Manifest readManifest(const json& document) {
  if (!document.is_object()) refuse("不是 JSON 对象");
  requireKeys(document, kTopKeys, "");
  const Members members(document, "");

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

  const json& items = members.value("items");
  if (!items.is_array() || items.empty()) members.wrong("items");
  std::set<std::string_view> names;
  manifest.items.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    manifest.items.push_back(readItem(items[i], i));
    if (!names.insert(manifest.items.back().renderFilename).second) {
      refuse("第 " + std::to_string(i + 1) + " 项的文件名与前面的项重复");
    }
  }
  return manifest;
}

}  // namespace

ManifestReading readBatchManifest(std::string_view bytes) {
  if (bytes.size() > kLargestBatchManifest) return {std::nullopt, "文件超过 8 MiB"};
  // JSON text never holds a raw NUL, and the parser would take one for the end of the input.
  if (bytes.find('\0') != std::string_view::npos) return {std::nullopt, "不是有效的 JSON"};
  StrictBuilder builder;
  if (!json::sax_parse(bytes.begin(), bytes.end(), &builder)) {
    return {std::nullopt, builder.refusal().empty() ? "不是有效的 JSON" : builder.refusal()};
  }
  try {
    return {readManifest(builder.document()), {}};
  } catch (const Refused& refused) {
    return {std::nullopt, refused.phrase};
  }
}

}  // namespace quillmere
