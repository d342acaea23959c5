#include "transfer/staging_owner.h"

#include <charconv>
#include <vector>

#include "platform/identity.h"
#include "transfer/manifest.h"
#include "transfer/staging_folder.h"

namespace quillmere {

namespace {

constexpr std::string_view kRecordHeading = "quillmere staging owner 1";
constexpr std::size_t kLongestValue = 256;

template <typename Number>
std::optional<Number> numberIn(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Splits "key value" lines; nothing when a line is malformed.
std::optional<std::vector<std::pair<std::string_view, std::string_view>>> linesOf(
    std::string_view text) {
  std::vector<std::pair<std::string_view, std::string_view>> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // a record cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const auto space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return std::nullopt;
    const std::string_view value = line.substr(space + 1);
    if (value.empty() || value.size() > kLongestValue) return std::nullopt;
    lines.emplace_back(line.substr(0, space), value);
  }
  return lines;
}

}  // namespace

std::string encodeOwnerRecord(const ProcessOwner& owner) {
  return std::string(kRecordHeading) + "\nmachine " + owner.machine + "\nboot " + owner.boot +
         "\npid-namespace " + owner.pidNamespace + "\npid " + std::to_string(owner.pid) +
         "\nstart " + std::to_string(owner.startTime) + "\n";
}

std::optional<ProcessOwner> decodeOwnerRecord(std::string_view text) {
  if (!text.starts_with(kRecordHeading) || text.substr(kRecordHeading.size(), 1) != "\n") {
    return std::nullopt;
  }
  const auto lines = linesOf(text.substr(kRecordHeading.size() + 1));
  if (!lines || lines->size() != 5) return std::nullopt;
  const std::string_view keys[] = {"machine", "boot", "pid-namespace", "pid", "start"};
  for (std::size_t i = 0; i < 5; ++i) {
    if ((*lines)[i].first != keys[i]) return std::nullopt;
  }
  const auto pid = numberIn<std::int64_t>((*lines)[3].second);
  const auto start = numberIn<std::uint64_t>((*lines)[4].second);
  if (!pid || *pid <= 0 || !start) return std::nullopt;
  ProcessOwner owner;
  owner.machine = std::string((*lines)[0].second);
  owner.boot = std::string((*lines)[1].second);
  owner.pidNamespace = std::string((*lines)[2].second);
  owner.pid = *pid;
  owner.startTime = *start;
  return owner;
}

std::string ownerRecordBeside(std::string_view stagingName) {
  return std::string(stagingName) + ".owner";
}

std::string_view stagingNameOfRecordBeside(std::string_view name) {
  constexpr std::string_view kSuffix = ".owner";
  if (!name.ends_with(kSuffix)) return {};
  const std::string_view staging = name.substr(0, name.size() - kSuffix.size());
  return isStagingName(staging) ? staging : std::string_view{};
}

bool isOwnerRecordCutShort(std::string_view text) {
  if (decodeOwnerRecord(text)) return false;
  const std::string heading = std::string(kRecordHeading) + "\n";
  if (text.size() <= heading.size()) return std::string_view(heading).starts_with(text);
  return text.starts_with(heading) && text.size() < kLongestValue * 6;
}

bool isStagingName(std::string_view name) {
  return name.starts_with(kStagingFolderPrefix) &&
         isUuidText(name.substr(kStagingFolderPrefix.size()));
}

bool isStagingFileName(std::string_view name) {
  if (name == kManifestFileName || name == kOwnerRecordName) return true;
  if (name.size() != 40 || name[36] != '.') return false;
  const std::string_view extension = name.substr(37);
  return isUuidText(name.substr(0, 36)) &&
         (extension == "jpg" || extension == "tif" || extension == "png");
}

}  // namespace quillmere
