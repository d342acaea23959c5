#include "verify/verify_report.h"

#include <cstdio>
#include <string_view>

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

// Whether the valid UTF-8 sequence `sequence` (two or three bytes) is a character a terminal acts
// on rather than shows: a C1 control (U+0080 to U+009F, among them U+0085, a line break to some,
// and U+009B, which starts an escape sequence), a bidirectional format character that reorders
// what follows it (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), or a line or
// paragraph separator (U+2028, U+2029).
bool actsOnTerminal(std::string_view sequence) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
  if (sequence.size() == 2) {
    return (byte(0) == 0xC2 && byte(1) <= 0x9F) || (byte(0) == 0xD8 && byte(1) == 0x9C);
  }
  if (sequence.size() != 3 || byte(0) != 0xE2) return false;
  if (byte(1) == 0x80) {
    return byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xA8 && byte(2) <= 0xAE);
  }
  return byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9;
}

// A text as a JSON string: quotes, backslashes and control characters escaped as nlohmann's
// dump writes them, everything else as it is.
void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
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
      const std::string_view sequence = std::string_view(name).substr(i, length);
      if (actsOnTerminal(sequence)) {
        for (const char c : sequence) appendEscaped(out, static_cast<unsigned char>(c));
      } else {
        out += sequence;
      }
      i += length;
    } else {
      appendEscaped(out, byte);
      ++i;
    }
  }
  return out;
}

std::string verifyResultJson(const VerifyReport& report) {
  // Written by hand: a document built in memory would need memory again to be released, which
  // must not be needed while memory is running out.
  std::string out = "{\"count\":" + std::to_string(report.count) + ",\"problems\":[";
  for (std::size_t i = 0; i < report.problems.size(); ++i) {
    const VerifyProblem& problem = report.problems[i];
    if (i > 0) out += ',';
    out += "{\"file\":";
    appendJsonString(out, isValidUtf8(problem.file) ? problem.file
                                                    : printableFileName(problem.file));
    out += ",\"problem\":";
    appendJsonString(out, problem.problem);
    out += '}';
  }
  out += "]}";
  return out;
}

std::string verifyReportText(const VerifyReport& report) {
  std::string text;
  for (const auto& problem : report.problems) {
    // An empty path (given as the folder) is shown as "", never as nothing before the colon.
    text += (problem.file.empty() ? std::string("\"\"") : printableFileName(problem.file)) +
            "：" + problem.problem + "\n";
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

std::string verifyProgressText(const VerifyProgress& progress) {
  char megabytes[32];
  std::snprintf(megabytes, sizeof megabytes, "%.1f",
                static_cast<double>(progress.bytesDone) / (1024.0 * 1024.0));
  std::string line = "正在核对：";
  if (progress.fileCount > 0) {
    line += std::to_string(progress.filesDone) + " / " + std::to_string(progress.fileCount) +
            " 个文件，";
  }
  return line + "已读 " + megabytes + " MB";
}

}  // namespace quillmere
