#include "verify/verify_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace quillmere {
namespace {

TEST(VerifyReportText, OneLinePerProblemThenTheSummary) {
  const struct {
    const char* name;
    VerifyReport report;
    std::string text;
  } cases[] = {
      {"everything matches", {true, 3, {}}, "核对完毕：3 张照片都与传输清单一致。\n"},
      {"two problems",
       {true, 3, {{"a.jpg", kRenderMissingProblem}, {".DS_Store", kExtraEntryProblem}}},
       std::string("a.jpg：") + kRenderMissingProblem + "\n.DS_Store：" + kExtraEntryProblem +
           "\n核对完毕：批次共 3 张照片，发现 2 个问题。\n"},
      {"not a batch",
       {false, 0, {{".quillmere-manifest.json", kNoManifestProblem}}},
       std::string(".quillmere-manifest.json：") + kNoManifestProblem +
           "\n无法核对：这个文件夹不能作为 Quillmere 批次读取。\n"},
      {"a name that would break the line or colour the terminal",
       {true, 1, {{"a\nb\x1b[31m\x7f", kExtraEntryProblem}}},
       std::string("a\\x0Ab\\x1B[31m\\x7F：") + kExtraEntryProblem +
           "\n核对完毕：批次共 1 张照片，发现 1 个问题。\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(verifyReportText(c.report), c.text);
  }
}

TEST(PrintableFileName, KeepsUtf8AndEscapesTheRest) {
  EXPECT_EQ(printableFileName("照片 ✓ 𝄞.jpg"), "照片 ✓ 𝄞.jpg");
  EXPECT_EQ(printableFileName("bad\xff\xc3(\xe2\x82"), "bad\\xFF\\xC3(\\xE2\\x82");
  EXPECT_EQ(printableFileName("\xed\xa0\x80"), "\\xED\\xA0\\x80");  // a surrogate
  EXPECT_EQ(printableFileName("tab\t"), "tab\\x09");
}

TEST(VerifyResultJson, HoldsTheCountAndEveryProblemAsTextForAnyName) {
  const VerifyReport report{
      true, 2, {{"a.jpg", kRenderDiffersProblem}, {"b\xff\n", kExtraEntryProblem}}};
  const auto json = nlohmann::json::parse(verifyResultJson(report));
  EXPECT_EQ(json, (nlohmann::json{{"count", 2},
                                  {"problems",
                                   {{{"file", "a.jpg"}, {"problem", kRenderDiffersProblem}},
                                    {{"file", "b\\xFF\\x0A"}, {"problem", kExtraEntryProblem}}}}}));
  EXPECT_EQ(verifyResultJson({false, 0, {}}), R"({"count":0,"problems":[]})");
}

}  // namespace
}  // namespace quillmere
