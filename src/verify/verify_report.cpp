#include "verify/verify_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/paths.h"

namespace quillmere {

namespace {

// The length a UTF-8 sequence starting with `lead` declares; 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

void appendEscaped(std::string& out, unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  out += text;
}

}  // namespace

std::string printableFileName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const std::size_t length = sequenceLength(byte);
    if (length == 1) {
      if (byte < 0x20 || byte == 0x7F) {
        appendEscaped(out, byte);
      } else {
        out += name[i];
      }
      ++i;
    } else if (length > 1 && i + length <= name.size() &&
               isValidUtf8(std::string_view(name).substr(i, length))) {
      out.append(name, i, length);
      i += length;
    } else {
      appendEscaped(out, byte);
      ++i;
    }
  }
  return out;
}

std::string verifyResultJson(const VerifyReport& report) {
  nlohmann::json problems = nlohmann::json::array();
  for (const auto& problem : report.problems) {
    problems.push_back(
        {{"file", isValidUtf8(problem.file) ? problem.file : printableFileName(problem.file)},
         {"problem", problem.problem}});
  }
  const nlohmann::json result = {{"count", report.count}, {"problems", std::move(problems)}};
  return result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string verifyReportText(const VerifyReport& report) {
  std::string text;
  for (const auto& problem : report.problems) {
    text += printableFileName(problem.file) + "：" + problem.problem + "\n";
  }
  const std::string count = std::to_string(report.count);
  if (!report.isBatch) {
    text += "无法核对：这个文件夹不能作为 Quillmere 批次读取。\n";
  } else if (report.problems.empty()) {
    text += "核对完毕：" + count + " 张照片都与传输清单一致。\n";
  } else {
    text += "核对完毕：批次共 " + count + " 张照片，发现 " +
            std::to_string(report.problems.size()) + " 个问题。\n";
  }
  return text;
}

}  // namespace quillmere
