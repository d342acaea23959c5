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

// The identifiers of fixedManifest, computed apart from the code with Python's hashlib and uuid
// (stableUUID: the first 16 bytes of the SHA-256, version nibble 5, variant bits 10), so that a
// change in how any of them is derived shows. This prints them in the order below (one line; the
// breaks here stand for single spaces):
//   python3 -c "import hashlib, uuid; d = lambda b: hashlib.sha256(b).hexdigest(); s = lambda b:
//   str(uuid.UUID(bytes=bytes(x & 0x0F | 0x50 if i == 6 else x & 0x3F | 0x80 if i == 8 else x
//   for i, x in enumerate(hashlib.sha256(b).digest()[:16])))); f = d(b'CAPTURE_ONE\n'
//   b'quillmere-manual-capture-one-v1'); print(d(b'render'), d(b'original'),
//   s(d(b'render').encode()), f, s(b'CAPTURE_ONE' + f.encode() +
//   b'v\x221\x22\x5c\n\t\x01 \xe8\xb0\x83\xe8\x89\xb2' + d(b'original').encode()), sep='\n')"
const std::string kRenderSha256 =
    "887270d0cbc560af35f1326d55e9dbdc35ea2301c2cd26633fb6d4932deee268";
const std::string kSourceSha256 =
    "0682c5f2076f099c34cfdd15a9e063849ed437a49677e6fcc5b4198c76575be5";
const std::string kRenderId = "4d204e30-dba7-5412-9975-a4900b565379";
const std::string kCatalogFingerprint =
    "0b91c2227c9a570e12f574b1d6b03a7b2b41d653b0914668d2fb1dad9f9fb868";
const std::string kVariantId = "294732e9-ccdf-556f-8df7-3a657f90112d";

TEST(Manifest, IsWrittenInItsExactByteForm) {
  const Manifest m = fixedManifest();
  const std::string item1 =
      "    {\n"
      "      \"bitDepth\" : 8,\n"
      "      \"externalPhotoId\" : \"albums\\/2026\\/IMG_0001\",\n"
      "      \"externalVariantId\" : \"v\\\"1\\\"\\\\\\n\\t\\u0001 调色\",\n"
      "      \"height\" : 4000,\n"
      "      \"mediaFormat\" : \"JPEG\",\n"
      "      \"renderFilename\" : \"8d3f6a2e-1b4c-4d5e-8f90-a1b2c3d4e5f6.jpg\",\n"
      "      \"renderId\" : \"" + kRenderId + "\",\n"
      "      \"renderSha256\" : \"" + kRenderSha256 + "\",\n"
      "      \"sourceSha256\" : \"" + kSourceSha256 + "\",\n"
      "      \"variantId\" : \"" + kVariantId + "\",\n"
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
      "      \"renderId\" : \"" + kRenderId + "\",\n"
      "      \"renderSha256\" : \"" + kRenderSha256 + "\",\n"
      "      \"sourceSha256\" : \"" + kSourceSha256 + "\",\n"
      "      \"variantId\" : \"" + kVariantId + "\",\n"
      "      \"width\" : 1\n"
      "    }";
  const std::string expected =
      "{\n"
      "  \"catalogFingerprint\" : \"" + kCatalogFingerprint + "\",\n"
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
  // Known answers, computed as above the byte-form test: the identifiers Quillmere matches renders
  // and variants by across batches must come out the same in every version of the bridge.
  EXPECT_EQ(digest("render"), kRenderSha256);
  EXPECT_EQ(stableUUID(kRenderSha256), kRenderId);  // a renderId: of the digest's text
  // python3 -c "import hashlib, uuid; print(uuid.UUID(bytes=bytes(x & 0x0F | 0x50 if i == 6 else
  //   x & 0x3F | 0x80 if i == 8 else x for i, x in
  //   enumerate(hashlib.sha256(b'abc').digest()[:16]))))"
  EXPECT_EQ(stableUUID("abc"), "ba7816bf-8f01-5fea-8141-40de5dae2223");
  EXPECT_EQ(catalogFingerprint("CAPTURE_ONE", "quillmere-manual-capture-one-v1"),
            kCatalogFingerprint);
  EXPECT_EQ(variantId("CAPTURE_ONE", kCatalogFingerprint, "v\"1\"\\\n\t\x01 调色", kSourceSha256),
            kVariantId);
  EXPECT_EQ(catalogFingerprint("CAPTURE_ONE", "c"), digest("CAPTURE_ONE\nc"));
  const std::string fp = catalogFingerprint("P", "c");
  EXPECT_EQ(variantId("P", fp, "v", "s"), stableUUID("P" + fp + "vs"));
  // The line feed matters: the same parts without it give another fingerprint.
  EXPECT_NE(catalogFingerprint("CAPTURE_ONE", "c"), digest("CAPTURE_ONEc"));
}

}  // namespace
}  // namespace quillmere
