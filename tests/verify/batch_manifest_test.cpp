#include "verify/batch_manifest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "inspect/digest.h"

namespace quillmere {
namespace {

std::string uuid(unsigned n) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", n, n);
  return text;
}

ManifestItem item(unsigned n) {
  ManifestItem item;
  item.image = {"JPEG", 6, 4, 8};
  item.externalPhotoId = "photo " + std::to_string(n);
  item.externalVariantId = "variant " + std::to_string(n);
  item.renderFilename = uuid(n) + ".jpg";
  item.renderSha256 = digest("render " + std::to_string(n));
  item.renderId = stableUUID(item.renderSha256);
  item.sourceSha256 = digest("original " + std::to_string(n));
  item.variantId = uuid(100000 + n);
  return item;
}

Manifest manifest(unsigned items) {
  Manifest m{digest("fingerprint"), "2026-03-01T08:05:09Z", {}, "CAPTURE_ONE", uuid(999999)};
  for (unsigned i = 0; i < items; ++i) m.items.push_back(item(i));
  return m;
}

// `text` with the first `from` replaced by `to`; fails the test when `from` is not there.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ReadBatchManifest, TakesWhatThisProgramWritesBackToTheSameBytes) {
  Manifest m = manifest(3);
  // Texts a caller may send as identifiers: solidus, quotes, backslashes, control characters, a
  // NUL, and characters beyond ASCII.
  m.items[0].externalPhotoId = "a/b \"c\" \\d\n\t\x01 e\x7f";
  m.items[1].externalVariantId = std::string("x\0y", 3);
  m.items[2].externalPhotoId = "照片 ✓ 𝄞";
  m.items[1].image = {"PNG", 100000, 1, 16};
  m.items[1].renderFilename = uuid(1) + ".png";
  m.items[2].image = {"TIFF", 1, 100000, 32};
  m.items[2].renderFilename = uuid(2) + ".tif";
  m.provider = "LIGHTROOM_CLASSIC";
  const std::string bytes = encodeManifest(m);
  const ManifestReading reading = readBatchManifest(bytes);
  ASSERT_TRUE(reading.manifest) << reading.refusal;
  EXPECT_EQ(encodeManifest(*reading.manifest), bytes);
  EXPECT_EQ(reading.manifest->items[1].externalVariantId, std::string("x\0y", 3));
}

TEST(ReadBatchManifest, RefusesEveryOtherShapeAndEveryHostileDocument) {
  const std::string good = encodeManifest(manifest(2));
  const std::string first = item(0).renderFilename;
  const std::string second = item(1).renderFilename;
  const std::string sha = item(0).renderSha256;
  const std::string fingerprint = digest("fingerprint");
  std::string exactlyTheLimit = good;
  exactlyTheLimit.resize(kLargestBatchManifest, ' ');
  const struct {
    const char* name;
    std::string bytes;
    std::string refusal;  // empty: accepted
  } cases[] = {
      {"padded with blanks to exactly the limit", exactlyTheLimit, ""},
      {"one byte over the limit", exactlyTheLimit + " ", "文件超过 9 MiB"},
      {"500 items", encodeManifest(manifest(500)), ""},
      {"501 items", encodeManifest(manifest(501)), "超过 500 项"},
      {"no items", replaced(encodeManifest(manifest(0)), "[\n\n  ]", "[]"), "“items”不符合格式"},
      {"empty", "", "不是有效的 JSON"},
      {"an array", "[]", "不是 JSON 对象"},
      {"something after the object", good + "x", "不是有效的 JSON"},
      {"a raw NUL byte", replaced(good, "\n", std::string("\0\n", 2)), "不是有效的 JSON"},
      {"nested a hundred thousand deep", std::string(100000, '['), "嵌套过深"},
      {"nested deeper inside an item",
       replaced(good, "\"bitDepth\" : 8", "\"bitDepth\" : [[{\"a\" : [1]}]]"), "嵌套过深"},
      {"a repeated key", replaced(good, "\"bitDepth\" : 8", "\"bitDepth\" : 8, \"bitDepth\" : 8"),
       "有重复的键"},
      {"an extra key at the top", replaced(good, "{\n", "{\n  \"extra\" : 1,\n"), "有多余的键"},
      {"an extra key in an item", replaced(good, "\"bitDepth\" : 8", "\"bitDepth\" : 8, \"x\" : 1"),
       "有多余的键"},
      {"a missing key", replaced(good, "\"bitDepth\" : 8,", ""), "第 1 项缺少“bitDepth”"},
      {"a number beyond a double", replaced(good, "\"width\" : 6", "\"width\" : 1e400"),
       "不是有效的 JSON"},
      {"a number beyond 64 bits",
       replaced(good, "\"width\" : 6", "\"width\" : 18446744073709551616"),
       "有数值不是整数或超出范围"},
      {"a number beyond a signed 64 bits",
       replaced(good, "\"width\" : 6", "\"width\" : 9223372036854775808"), "有数值超出范围"},
      {"a fraction", replaced(good, "\"width\" : 6", "\"width\" : 6.0"),
       "有数值不是整数或超出范围"},
      {"a width of zero", replaced(good, "\"width\" : 6", "\"width\" : 0"),
       "第 1 项的“width”不符合格式"},
      {"a height over 100,000", replaced(good, "\"height\" : 4", "\"height\" : 100001"),
       "第 1 项的“height”不符合格式"},
      {"a width given as text", replaced(good, "\"width\" : 6", "\"width\" : \"6\""),
       "第 1 项的“width”不符合格式"},
      {"a bit depth inspection never reports",
       replaced(good, "\"bitDepth\" : 8", "\"bitDepth\" : 9"), "第 1 项的“bitDepth”不符合格式"},
      {"a format of its own", replaced(good, "\"JPEG\"", "\"GIF\""),
       "第 1 项的“mediaFormat”不符合格式"},
      {"an empty photo identifier", replaced(good, "\"photo 1\"", "\"\""),
       "第 2 项的“externalPhotoId”不符合格式"},
      {"a name leading up", replaced(good, first, "..\\/" + first.substr(3)),
       "第 1 项的“renderFilename”不符合格式"},
      {"a name through a folder",
       replaced(good, first, first.substr(0, 8) + "\\/" + first.substr(9)),
       "第 1 项的“renderFilename”不符合格式"},
      {"a name with a NUL", replaced(good, first, first.substr(0, 36) + "\\u0000jpg"),
       "第 1 项的“renderFilename”不符合格式"},
      {"the manifest's own name", replaced(good, first, ".quillmere-manifest.json"),
       "第 1 项的“renderFilename”不符合格式"},
      {"a name in capitals", replaced(good, first, "A" + first.substr(1)),
       "第 1 项的“renderFilename”不符合格式"},
      {"an extension not of the format", replaced(good, first, first.substr(0, 37) + "png"),
       "第 1 项的“renderFilename”不符合格式"},
      {"one name twice", replaced(good, second, first), "第 2 项的文件名与前面的项重复"},
      {"a digest in capitals", replaced(good, sha, "A" + sha.substr(1)),
       "第 1 项的“renderSha256”不符合格式"},
      {"a digest one digit short", replaced(good, sha, sha.substr(1)),
       "第 1 项的“renderSha256”不符合格式"},
      {"a catalog fingerprint with a letter past f",
       replaced(good, fingerprint, "g" + fingerprint.substr(1)), "“catalogFingerprint”不符合格式"},
      {"a catalog fingerprint in capitals",
       replaced(good, fingerprint, "F" + fingerprint.substr(1)), "“catalogFingerprint”不符合格式"},
      {"a catalog fingerprint one digit short", replaced(good, fingerprint, fingerprint.substr(1)),
       "“catalogFingerprint”不符合格式"},
      {"another schema", replaced(good, "\"schemaVersion\" : 3", "\"schemaVersion\" : 2"),
       "“schemaVersion”不符合格式"},
      {"another provider", replaced(good, "CAPTURE_ONE", "DARKTABLE"), "“provider”不符合格式"},
      {"an issue time with an offset", replaced(good, "08:05:09Z", "08:05:09+01"),
       "“issuedAt”不符合格式"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ManifestReading reading = readBatchManifest(c.bytes);
    EXPECT_EQ(reading.manifest.has_value(), c.refusal.empty()) << reading.refusal;
    EXPECT_EQ(reading.refusal, c.refusal);
  }
}

}  // namespace
}  // namespace quillmere
