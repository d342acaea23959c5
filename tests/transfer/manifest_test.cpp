#include "transfer/manifest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "inspect/digest.h"

namespace quillmere {
namespace {

Manifest fixedManifest() {
  Manifest manifest;
  manifest.catalogFingerprint = catalogFingerprint("CAPTURE_ONE", "quillmere-manual-capture-one-v1");
  manifest.issuedAt = "2026-03-01T08:05:09Z";
  manifest.provider = "CAPTURE_ONE";
  manifest.transferBatchId = "0f8e3c1a-5b2d-4e6f-9a7b-1c2d3e4f5a6b";
  ManifestItem first;
  first.image = {"JPEG", 6000, 4000, 8};
  first.externalPhotoId = "albums/2026/IMG_0001";
  first.externalVariantId = "v\"1\"\\\n\t\x01 调色";
  first.renderSha256 = digest("render");
  first.renderId = stableUUID(first.renderSha256);
  first.renderFilename = "8d3f6a2e-1b4c-4d5e-8f90-a1b2c3d4e5f6.jpg";
  first.sourceSha256 = digest("original");
  first.variantId = variantId(manifest.provider, manifest.catalogFingerprint,
                              first.externalVariantId, first.sourceSha256);
  ManifestItem second = first;
  second.image = {"TIFF", 1, 100000, 16};
  second.renderFilename = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee.tif";
  manifest.items = {first, second};
  return manifest;
}

TEST(Manifest, IsWrittenInItsExactByteForm) {
  const Manifest m = fixedManifest();
  const auto& i = m.items[0];
  const std::string item1 =
      "    {\n"
      "      \"bitDepth\" : 8,\n"
      "      \"externalPhotoId\" : \"albums\\/2026\\/IMG_0001\",\n"
      "      \"externalVariantId\" : \"v\\\"1\\\"\\\\\\n\\t\\u0001 调色\",\n"
      "      \"height\" : 4000,\n"
      "      \"mediaFormat\" : \"JPEG\",\n"
      "      \"renderFilename\" : \"8d3f6a2e-1b4c-4d5e-8f90-a1b2c3d4e5f6.jpg\",\n"
      "      \"renderId\" : \"" + i.renderId + "\",\n"
      "      \"renderSha256\" : \"" + i.renderSha256 + "\",\n"
      "      \"sourceSha256\" : \"" + i.sourceSha256 + "\",\n"
      "      \"variantId\" : \"" + i.variantId + "\",\n"
      "      \"width\" : 6000\n"
      "    }";
  const std::string item2 =
      "    {\n"
      "      \"bitDepth\" : 16,\n"
      "      \"externalPhotoId\" : \"albums\\/2026\\/IMG_0001\",\n"
      "      \"externalVariantId\" : \"v\\\"1\\\"\\\\\\n\\t\\u0001 调色\",\n"
      "      \"height\" : 100000,\n"
      "      \"mediaFormat\" : \"TIFF\",\n"
      "      \"renderFilename\" : \"aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee.tif\",\n"
      "      \"renderId\" : \"" + i.renderId + "\",\n"
      "      \"renderSha256\" : \"" + i.renderSha256 + "\",\n"
      "      \"sourceSha256\" : \"" + i.sourceSha256 + "\",\n"
      "      \"variantId\" : \"" + i.variantId + "\",\n"
      "      \"width\" : 1\n"
      "    }";
  const std::string expected =
      "{\n"
      "  \"catalogFingerprint\" : \"" + m.catalogFingerprint + "\",\n"
      "  \"issuedAt\" : \"2026-03-01T08:05:09Z\",\n"
      "  \"items\" : [\n" + item1 + ",\n" + item2 + "\n"
      "  ],\n"
      "  \"provider\" : \"CAPTURE_ONE\",\n"
      "  \"schemaVersion\" : 3,\n"
      "  \"transferBatchId\" : \"0f8e3c1a-5b2d-4e6f-9a7b-1c2d3e4f5a6b\"\n"
      "}";
  EXPECT_EQ(encodeManifest(m), expected);
}

TEST(Manifest, ReadsBackUnchangedWithAnyJsonReader) {
  const Manifest m = fixedManifest();
  const auto json = nlohmann::json::parse(encodeManifest(m));
  EXPECT_EQ(json["items"][0]["externalPhotoId"], "albums/2026/IMG_0001");
  EXPECT_EQ(json["items"][0]["externalVariantId"], m.items[0].externalVariantId);
  EXPECT_EQ(json["items"][1]["height"], 100000);
  EXPECT_EQ(json["schemaVersion"], 3);
  EXPECT_EQ(json.size(), 6u);
  EXPECT_EQ(json["items"][0].size(), 11u);
}

TEST(Manifest, DerivationsJoinTheirPartsExactly) {
  EXPECT_EQ(catalogFingerprint("CAPTURE_ONE", "c"), digest("CAPTURE_ONE\nc"));
  const std::string fp = catalogFingerprint("P", "c");
  EXPECT_EQ(variantId("P", fp, "v", "s"), stableUUID("P" + fp + "vs"));
  // The line feed matters: the same parts without it give another fingerprint.
  EXPECT_NE(catalogFingerprint("CAPTURE_ONE", "c"), digest("CAPTURE_ONEc"));
}

}  // namespace
}  // namespace quillmere
