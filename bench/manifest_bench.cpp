// Times readBatchManifest (how --verify decodes a batch's manifest) on documents of the largest
// size it takes, shaped as a hostile or unlucky folder might hold them: the largest manifest a
// request can make, and shapes that cost a JSON reader most (a flood of tiny values, deep
// nesting, one huge text, wide arrays of arrays). Each must decode or be refused well within a
// second. Prints, per shape, the median of five decodes, the range, and the answer.
// Usage: manifest_bench

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "inspect/digest.h"
#include "transfer/manifest.h"
#include "verify/batch_manifest.h"

namespace {

using quillmere::bench::Clock;
using quillmere::bench::seconds;

// 500 items whose identifiers are all "/", the largest manifest a legal request makes.
std::string largestLegalManifest() {
  quillmere::Manifest manifest{quillmere::digest("catalog"),
                               "2026-12-10T12:00:00Z",
                               {},
                               "CAPTURE_ONE",
                               "5d0c2b7e-8f3a-4c1e-9b6d-2a7f4e8c1d05"};
  for (int i = 0; i < 500; ++i) {
    quillmere::ManifestItem item;
    item.image = {"JPEG", 100000, 100000, 16};
    item.externalPhotoId = std::string(4150, '/');
    item.externalVariantId = std::string(4150, '/') + std::to_string(i);
    char name[64];
    std::snprintf(name, sizeof name, "%08x-0000-4000-8000-%012x.jpg", i, i);
    item.renderFilename = name;
    item.renderSha256 = quillmere::digest(name);
    item.renderId = quillmere::stableUUID(item.renderSha256);
    item.sourceSha256 = quillmere::digest(item.externalVariantId);
    item.variantId = quillmere::stableUUID(item.sourceSha256);
    manifest.items.push_back(item);
  }
  return quillmere::encodeManifest(manifest);
}

// `unit` repeated to fill the limit between `open` and `close`.
std::string filled(const std::string& open, const std::string& unit, const std::string& close) {
  std::string text = open;
  while (text.size() + unit.size() + close.size() <= quillmere::kLargestBatchManifest) {
    text += unit;
  }
  return text + close;
}

}  // namespace

int main() {
  std::string wideArrays = "{\"provider\" : [";
  for (int i = 0; i < 500; ++i) {
    if (i > 0) wideArrays += ',';
    wideArrays += "[1";
    for (int j = 1; j < 500; ++j) wideArrays += ",1";
    wideArrays += ']';
  }
  wideArrays += "]}";
  const struct {
    const char* name;
    std::string bytes;
  } shapes[] = {
      {"largest manifest of a legal request", largestLegalManifest()},
      {"items of empty objects", filled("{\"items\" : [", "{},", "{}]}")},
      {"top-level array of zeros", filled("[", "0,", "0]")},
      {"nesting", std::string(quillmere::kLargestBatchManifest, '[')},
      {"one huge text", filled("{\"provider\" : \"", "x", "\"}")},
      {"one huge text of escapes", filled("{\"provider\" : \"", "\\/", "\"}")},
      {"blanks", filled("{", " ", "}")},
      {"wide arrays of arrays", wideArrays},
      {"one huge key", filled("{\"", "k", "\" : 1}")},
  };
  bool allFast = true;
  for (const auto& shape : shapes) {
    std::vector<double> times;
    std::string answer;
    for (int round = 0; round < 5; ++round) {
      const auto start = Clock::now();
      const quillmere::ManifestReading reading = quillmere::readBatchManifest(shape.bytes);
      times.push_back(seconds(start));
      answer = reading.manifest ? "accepted" : "refused: " + reading.refusal;
    }
    std::ranges::sort(times);
    allFast = allFast && times[2] < 1.0;
    std::printf("%-38s %8zu bytes  median %7.3f s  (%.3f-%.3f)  %s\n", shape.name,
                shape.bytes.size(), times[2], times.front(), times.back(), answer.c_str());
  }
  std::printf("%s\n", allFast ? "every shape within a second" : "SOME SHAPE TOOK A SECOND OR MORE");
  return allFast ? 0 : 1;
}
