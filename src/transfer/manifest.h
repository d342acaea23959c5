#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inspect/image_info.h"

namespace quillmere {

inline constexpr const char* kManifestFileName = ".quillmere-manifest.json";
inline constexpr int kManifestSchemaVersion = 3;

// One render of the batch as the importing product sees it.
struct ManifestItem {
  ImageInfo image;
  std::string externalPhotoId;
  std::string externalVariantId;
  std::string renderFilename;
  std::string renderId;
  std::string renderSha256;
  std::string sourceSha256;
  std::string variantId;
};

struct Manifest {
  std::string catalogFingerprint;
  std::string issuedAt;
  std::vector<ManifestItem> items;
  std::string provider;
  std::string transferBatchId;
};

// digest(provider + "\n" + catalogId)
std::string catalogFingerprint(std::string_view provider, std::string_view catalogId);

// stableUUID(provider + fingerprint + externalVariantId + sourceSha256): no separators, so the
// same original with the same variant in the same catalog always gets the same identifier.
std::string variantId(std::string_view provider, std::string_view fingerprint,
                      std::string_view externalVariantId, std::string_view sourceSha256);

// The manifest's exact bytes: keys sorted, two-space indentation, " : " between key and value,
// every "/" written as "\/", only the escapes JSON requires, no line break after the last brace.
// The importer and earlier batches rely on this form byte for byte, so it is written by hand.
std::string encodeManifest(const Manifest& manifest);

}  // namespace quillmere
