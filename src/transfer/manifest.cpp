#include "transfer/manifest.h"

#include <string>

#include "inspect/digest.h"

namespace quillmere {

namespace {

void appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0x0F];
          out += kHex[c & 0x0F];
        } else {
          out += c;  // everything else, UTF-8 sequences included, is written as it is
        }
    }
  }
  out += '"';
}

// Writes the members of one object, each on its own line at `indent`, in the order given, which
// callers keep sorted.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, int indent) : m_out(out), m_indent(indent) { m_out += "{\n"; }

  void key(std::string_view name) {
    if (!m_first) m_out += ",\n";
    m_first = false;
    m_out.append(static_cast<std::size_t>(m_indent) + 2, ' ');
    appendString(m_out, name);
    m_out += " : ";
  }
  void string(std::string_view name, std::string_view value) {
    key(name);
    appendString(m_out, value);
  }
  void integer(std::string_view name, std::int64_t value) {
    key(name);
    m_out += std::to_string(value);
  }
  void close() {
    m_out += '\n';
    m_out.append(static_cast<std::size_t>(m_indent), ' ');
    m_out += '}';
  }

 private:
  std::string& m_out;
  int m_indent;
  bool m_first = true;
};

void appendItem(std::string& out, const ManifestItem& item, int indent) {
  ObjectWriter object(out, indent);
  object.integer("bitDepth", item.image.bitDepth);
  object.string("externalPhotoId", item.externalPhotoId);
  object.string("externalVariantId", item.externalVariantId);
  object.integer("height", item.image.height);
  object.string("mediaFormat", item.image.mediaFormat);
  object.string("renderFilename", item.renderFilename);
  object.string("renderId", item.renderId);
  object.string("renderSha256", item.renderSha256);
  object.string("sourceSha256", item.sourceSha256);
  object.string("variantId", item.variantId);
  object.integer("width", item.image.width);
  object.close();
}

}  // namespace

std::string catalogFingerprint(std::string_view provider, std::string_view catalogId) {
  std::string text(provider);
  text += '\n';
  text += catalogId;
  return digest(text);
}

std::string variantId(std::string_view provider, std::string_view fingerprint,
                      std::string_view externalVariantId, std::string_view sourceSha256) {
  std::string key(provider);
  key += fingerprint;
  key += externalVariantId;
  key += sourceSha256;
  return stableUUID(key);
}

std::string encodeManifest(const Manifest& manifest) {
  std::string out;
  out.reserve(512 + manifest.items.size() * 700);
  ObjectWriter top(out, 0);
  top.string("catalogFingerprint", manifest.catalogFingerprint);
  top.string("issuedAt", manifest.issuedAt);
  top.key("items");
  out += "[\n";
  for (std::size_t i = 0; i < manifest.items.size(); ++i) {
    if (i > 0) out += ",\n";
    out += "    ";
    appendItem(out, manifest.items[i], 4);
  }
  out += "\n  ]";
  top.string("provider", manifest.provider);
  top.integer("schemaVersion", kManifestSchemaVersion);
  top.string("transferBatchId", manifest.transferBatchId);
  top.close();
  return out;
}

}  // namespace quillmere
