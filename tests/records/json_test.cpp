#include "records/json.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

namespace quillmere {
namespace {

const std::string kPair =
    R"({"sourcePath":"/o/a.iiq","renderPath":"/r/a.jpg","externalPhotoId":"p","externalVariantId":"v"})";

std::string request(const std::string& items) {
  return R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"/d","items":)" + items + "}";
}

TEST(BatchRequestReading, AcceptsWhatTheRulesAllow) {
  const struct {
    const char* name;
    std::string json;
    std::size_t items;
  } cases[] = {
      {"plain", request("[" + kPair + "]"), 1},
      {"empty items", request("[]"), 0},
      {"unknown keys anywhere",
       R"({"x":1,"provider":"P","catalogId":"","destination":"","items":[{"sourcePath":"s","renderPath":"r","externalPhotoId":"","externalVariantId":"","extra":null}],"more":[[[]]]})",
       1},
      {"unknown key nested very deep", R"({"deep":)" + std::string(500, '[') +
                                           std::string(500, ']') +
                                           R"(,"provider":"P","catalogId":"c","destination":"d","items":[]})",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(batchRequestFromJson(c.json).items.size(), c.items);
  }
  const BatchRequest read = batchRequestFromJson(request("[" + kPair + "]"));
  EXPECT_EQ(read, (BatchRequest{"CAPTURE_ONE", "c", "/d", {{"/o/a.iiq", "/r/a.jpg", "p", "v"}}}));
}

TEST(BatchRequestReading, RefusesEverythingElseAsADecodingError) {
  std::string nul = request("[" + kPair + "]");
  nul.insert(5, 1, '\0');
  const struct {
    const char* name;
    std::string json;
  } cases[] = {
      {"empty file", ""},
      {"not json", "hello"},
      {"top-level array", "[" + request("[]") + "]"},
      {"top-level string", R"("text")"},
      {"null catalogId", R"({"provider":"P","catalogId":null,"destination":"d","items":[]})"},
      {"missing destination", R"({"provider":"P","catalogId":"c","items":[]})"},
      {"items is an object", request("{}")},
      {"items holds a string", request(R"(["x"])")},
      {"pair lacks externalVariantId",
       request(R"([{"sourcePath":"s","renderPath":"r","externalPhotoId":"p"}])")},
      {"number where a string belongs",
       R"({"provider":1,"catalogId":"c","destination":"d","items":[]})"},
      {"key differs in case", R"({"provider":"P","CatalogId":"c","destination":"d","items":[]})"},
      {"invalid UTF-8", request("[]").replace(14, 1, "\xC3\x28")},
      {"lone surrogate escape", R"({"provider":"\ud800","catalogId":"c","destination":"d","items":[]})"},
      {"NUL byte", nul},
      {"nested brackets", std::string(2'000'000, '[') + std::string(2'000'000, ']')},
      {"unbalanced brackets", std::string(1'000'000, '[')},
      {"trailing garbage", request("[]") + "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      batchRequestFromJson(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const DecodingError& error) {
      EXPECT_FALSE(std::string(error.what()).empty());
    }
  }
}

TEST(BatchRequestReading, DecodingErrorsSayWhatIsWrongAndWhere) {
  auto message = [](const std::string& json) {
    try {
      batchRequestFromJson(json);
    } catch (const DecodingError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message(request(R"([)" + kPair + R"(,{"sourcePath":"s","renderPath":5}])")),
            "无法读取导出请求：\"items\"[1].\"renderPath\" 不是文本。");
  EXPECT_EQ(message(R"({"provider":"P"})"),
            "无法读取导出请求：缺少 \"catalogId\"。");
  // Syntax errors name the line and column, in Chinese like every other text.
  EXPECT_EQ(message(""), "无法读取导出请求：内容在第 1 行第 1 列意外结束。");
  EXPECT_EQ(message("{\n  \"provider\": \"P\",\n  \"items\": [1,]\n}"),
            "无法读取导出请求：第 3 行第 15 列不是有效的 JSON。");
  EXPECT_EQ(message("{\"provider\": 1e400}"), "无法读取导出请求：其中有数值超出了可读取的范围。");
  EXPECT_EQ(message("[]"), "无法读取导出请求：内容 不是 JSON 对象。");
}

// The place of a syntax error is counted from the document itself; it must be the line and column
// the parser itself reports, wherever the error falls: on a line feed, after one, past the end,
// or behind a multi-byte character (columns count bytes, as the parser's do).
TEST(RecordDecoding, ASyntaxErrorIsPlacedWhereTheParserStopped) {
  const std::vector<std::string> documents = {
      "",
      "\n",
      "{",
      "{\n",
      "{\n\n",
      "{\"provider\": \"P\",\n\"items\": [1,]\n}",
      "{\"provider\": \"P\"}\n  x",
      "{\"provider\": tru}",
      "{\"provider\": \"照片\" x}",
      "{\"provider\": \"line one\nline two\"}",
      "{\r\n\"provider\"\r\n:\r\n}",
      "{\"provider\": \"unterminated",
      "{\"items\": [{\"sourcePath\": \"a\"},\n{]}",
  };
  const std::regex position("line ([0-9]+), column ([0-9]+)");
  for (const std::string& document : documents) {
    SCOPED_TRACE(document);
    std::string place;
    try {
      FAIL() << "the parser accepted " << nlohmann::json::parse(document).dump();
    } catch (const nlohmann::json::parse_error& error) {
      const std::string report = error.what();
      std::smatch found;
      ASSERT_TRUE(std::regex_search(report, found, position)) << report;
      place = "第 " + found[1].str() + " 行第 " + found[2].str() + " 列";
    }
    const std::function<void(std::string_view)> readers[] = {
        [](std::string_view bytes) { static_cast<void>(batchRequestFromJson(bytes)); },
        [](std::string_view bytes) { static_cast<void>(batchResultFromJson(bytes)); }};
    for (const auto& read : readers) {
      try {
        read(document);
        ADD_FAILURE() << "accepted";
      } catch (const DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find(place), std::string::npos) << error.what();
      }
    }
  }
}

// Regression: paths were cut at a NUL by the operating system ("/x/a.jpg\u0000.tif" stored
// "/x/a.jpg"), and the reader took a raw NUL byte for the end of the document, ignoring the rest.
TEST(BatchRequestReading, RefusesANulInAPathOrAnywhereAsARawByte) {
  const std::string plain = request("[" + kPair + "]");
  auto withRawNul = [&](std::size_t at) { return std::string(plain).insert(at, 1, '\0'); };
  const struct {
    const char* name;
    std::string json;
    std::string error;
  } cases[] = {
      {"sourcePath",
       request(R"([{"sourcePath":"/etc/shadow\u0000.raw","renderPath":"r",)"
               R"("externalPhotoId":"p","externalVariantId":"v"}])"),
       "\"items\"[0].\"sourcePath\" 含有 NUL 字符"},
      {"renderPath",
       request("[" + kPair +
               R"(,{"sourcePath":"s","renderPath":"/x/a.jpg\u0000.tif",)"
               R"("externalPhotoId":"p","externalVariantId":"v"}])"),
       "\"items\"[1].\"renderPath\" 含有 NUL 字符"},
      {"destination at its end",
       R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"/d\u0000","items":[]})",
       "\"destination\" 含有 NUL 字符"},
      {"raw NUL after the document", plain + '\0' + "garbage",
       "第 " + std::to_string(plain.size() + 1) + " 个字节是 NUL 字符"},
      {"raw NUL between tokens", withRawNul(1), "第 2 个字节是 NUL 字符"},
      {"raw NUL first", withRawNul(0), "第 1 个字节是 NUL 字符"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      batchRequestFromJson(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const DecodingError& error) {
      EXPECT_EQ(std::string(error.what()), "无法读取导出请求：" + c.error + "。");
    }
  }
  // Identifiers are never handed to the operating system; they are taken whole, NUL included.
  const BatchRequest read = batchRequestFromJson(request(
      R"([{"sourcePath":"s","renderPath":"r","externalPhotoId":"p\u0000q","externalVariantId":"v"}])"));
  EXPECT_EQ(read.items.at(0).externalPhotoId, std::string("p\0q", 3));
}

TEST(BatchResultWriting, LeavesAbsentFieldsOutAndNeverWritesNull) {
  EXPECT_EQ(toJson(BatchResult{std::nullopt, 0, std::nullopt}), R"({"count":0})");
  EXPECT_EQ(toJson(BatchResult{std::nullopt, 0, "失败。"}), R"({"count":0,"error":"失败。"})");
  EXPECT_EQ(toJson(BatchResult{"/d/Quillmere-x", 3, std::nullopt}),
            R"({"count":3,"directory":"/d/Quillmere-x"})");
}

TEST(RecordRoundTrips, GiveBackEqualRecords) {
  const BatchResult results[] = {
      {std::nullopt, 0, std::nullopt},
      {"/a/b", 500, std::nullopt},
      {std::nullopt, 0, "每次请选择 1–500 张照片。\n\"quoted\""},
      {std::nullopt, 0, ""},
  };
  for (const auto& result : results) EXPECT_EQ(batchResultFromJson(toJson(result)), result);

  const BatchRequest request{"CAPTURE_ONE", " ", "相册/./x", {{"a", "b", "c/d", "e"}, {"", "", "", ""}}};
  EXPECT_EQ(batchRequestFromJson(toJson(request)), request);
  const Pair pair{"s", "r", "p", "v"};
  EXPECT_EQ(pairFromJson(toJson(pair)), pair);
}

TEST(BatchResultReading, TreatsNullOptionalsAsAbsentAndRequiresAnIntegerCount) {
  EXPECT_EQ(batchResultFromJson(R"({"count":2,"directory":null,"error":null})"),
            (BatchResult{std::nullopt, 2, std::nullopt}));
  for (const char* bad : {R"({"count":1.5})", R"({"count":"1"})", R"({"error":"x"})",
                          R"({"count":18446744073709551615})", R"({"count":0,"error":7})"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(batchResultFromJson(bad), DecodingError);
  }
}

}  // namespace
}  // namespace quillmere
