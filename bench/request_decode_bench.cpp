// Times the decoding of requests just under the 4 MiB limit, in the shapes that cost a reader the
// most: many empty objects, many complete items, deep nesting under an unknown key, one huge
// text, and many small values in an unknown array. Prints, for each, the median of five decodes
// and what the decoder answered. The target: any shape decoded or refused within a second.
// Usage: request_decode_bench

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "records/json.h"

namespace {

using quillmere::bench::Clock;
using quillmere::bench::seconds;

constexpr std::size_t kBudget = 4'194'303;  // the largest request file read

// Repeats `unit` (joined by commas) between `head` and `tail` while the whole fits the budget.
std::string filled(const std::string& head, const std::string& unit, const std::string& tail) {
  std::string text = head;
  while (text.size() + unit.size() + 1 + tail.size() <= kBudget) {
    if (text.size() > head.size()) text += ',';
    text += unit;
  }
  return text + tail;
}

struct Shape {
  const char* name;
  std::string bytes;
};

std::vector<Shape> shapes() {
  const std::string keys = R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"/d",)";
  std::string deep = keys + R"("x":)";
  const std::size_t depth = (kBudget - deep.size() - 32) / 2;
  deep += std::string(depth, '[') + std::string(depth, ']') + R"(,"items":[]})";
  return {
      {"empty objects in items", filled(keys + R"("items":[)", "{}", "]}")},
      {"complete items",
       filled(keys + R"("items":[)",
              R"({"sourcePath":"/o.raw","renderPath":"/r.tif","externalPhotoId":"p","externalVariantId":"v"})",
              "]}")},
      {"deep nesting under an unknown key", deep},
      {"one long text", keys + R"("items":[],"x":")" + std::string(kBudget - keys.size() - 40, 'a') + "\"}"},
      {"small values in an unknown array", filled(keys + R"("items":[],"x":[)", "1", "]}")},
  };
}

}  // namespace

int main() {
  std::printf("%-36s %9s %10s  %s\n", "shape", "bytes", "median s", "answer");
  for (const Shape& shape : shapes()) {
    std::vector<double> times;
    std::string answer;
    for (int run = 0; run < 5; ++run) {
      const auto start = Clock::now();
      try {
        const auto request = quillmere::batchRequestFromJson(shape.bytes);
        answer = std::to_string(request.items.size()) + " items";
      } catch (const std::exception& refusal) {
        answer = std::string(refusal.what()).substr(0, 60);
      }
      times.push_back(seconds(start));
    }
    std::sort(times.begin(), times.end());
    std::printf("%-36s %9zu %10.3f  %s\n", shape.name, shape.bytes.size(), times[2], answer.c_str());
  }
}
