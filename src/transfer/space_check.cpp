#include "transfer/space_check.h"

#include <exception>

#include "platform/paths.h"
#include "transfer/leftover_staging.h"
#include "transfer/staging_folder.h"

namespace quillmere {

namespace {

constexpr std::uint64_t kBlock = 4096;
// Room the file system needs beyond the files themselves (folders, entries, journal): generous,
// since a refusal that turns out unnecessary costs far less than a full disk halfway through.
constexpr std::uint64_t kMargin = 1'048'576;
// A manifest item is a few hundred bytes of JSON besides the caller's two identifiers; this bounds
// it with room to spare.
constexpr std::uint64_t kManifestPerItem = 1024;
// The identifiers are written as JSON strings, where a control character takes six bytes.
constexpr std::uint64_t kEscapedBytesPerByte = 6;

std::uint64_t roundedToBlocks(std::uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

std::uint64_t sizeOf(const std::string& path, FileSystem& fs) {
  try {
    const auto size = fs.status(fileLocation(path)).size;
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
  } catch (const std::exception&) {
    // The pair's own checks name what is wrong with this file, in the pair's turn.
    return 0;
  }
}

}  // namespace

std::uint64_t bytesToWrite(const BatchRequest& request, FileSystem& fs) {
  std::uint64_t manifest = kManifestPerItem;
  std::uint64_t total = kMargin;
  for (const auto& pair : request.items) {
    total += roundedToBlocks(sizeOf(pair.renderPath, fs));
    manifest += kManifestPerItem + kEscapedBytesPerByte * (pair.externalPhotoId.size() +
                                                           pair.externalVariantId.size());
  }
  total += roundedToBlocks(manifest);
  return total;
}

void requireRoomFor(const BatchRequest& request, BatchPlace& place, FileSystem& fs,
                    const std::vector<std::string>& keptStaging) {
  const auto available = fs.freeSpace(place.destination);
  if (!available) return;
  const std::uint64_t needed = bytesToWrite(request, fs);
  if (needed <= *available) return;
  std::string message = notEnoughSpaceMessage(place.destinationPath, needed, *available);
  std::uint64_t held = 0;
  for (const auto& name : keptStaging) held += bytesHeldAt(fs, place.destination, name);
  if (held > 0) message += keptStagingMessage(keptStaging, held);
  throw BridgeFailure(message);
}

std::string notEnoughSpaceMessage(const std::string& destination, std::uint64_t needed,
                                  std::uint64_t available) {
  return "保存文件夹“" + destination + "”所在的磁盘空间不足：本次保存需要约 " +
         sizeText(needed, true) + "，只剩 " + sizeText(available, false) +
         "。没有写入任何文件；请腾出空间或换一个保存文件夹。";
}

std::string keptStagingMessage(const std::vector<std::string>& names, std::uint64_t bytes) {
  constexpr std::size_t kNamed = 3;
  std::string listed;
  for (std::size_t i = 0; i < names.size() && i < kNamed; ++i) {
    listed += (i == 0 ? "“" : "、“") + names[i] + "”";
  }
  if (names.size() > kNamed) listed += "等";
  return "其中 " + std::to_string(names.size()) + " 个以“" + std::string(kStagingFolderPrefix) +
         "”开头的隐藏文件夹（" + listed + "）占用约 " + sizeText(bytes, false) +
         "：它们可能属于另一台电脑或另一个程序正在进行的保存，本程序不会删除；如确认没有保存正在进行，"
         "可以手动删除它们。";
}

std::string sizeText(std::uint64_t bytes, bool roundUp) {
  const bool gigabytes = bytes >= 1'000'000'000;
  const std::uint64_t tenth = gigabytes ? 100'000'000 : 100'000;
  const std::uint64_t tenths = roundUp ? (bytes + tenth - 1) / tenth : bytes / tenth;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         (gigabytes ? " GB" : " MB");
}

}  // namespace quillmere
