#include "transfer/space_check.h"

#include <exception>

#include "platform/paths.h"

namespace quillmere {

namespace {

constexpr std::uint64_t kBlock = 4096;
// Room the file system needs beyond the files themselves (folders, entries, journal): generous,
// since a refusal that turns out unnecessary costs far less than a full disk halfway through.
constexpr std::uint64_t kMargin = 1'048'576;
// A manifest item is a few hundred bytes of JSON; this bounds it with room to spare.
constexpr std::uint64_t kManifestPerItem = 1024;

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
  std::uint64_t total = kMargin + roundedToBlocks(kManifestPerItem * (request.items.size() + 1));
  for (const auto& pair : request.items) total += roundedToBlocks(sizeOf(pair.renderPath, fs));
  return total;
}

void requireRoomFor(const BatchRequest& request, BatchPlace& place, FileSystem& fs) {
  const auto available = fs.freeSpace(place.destination);
  if (!available) return;
  const std::uint64_t needed = bytesToWrite(request, fs);
  if (needed > *available) {
    throw BridgeFailure(notEnoughSpaceMessage(place.destinationPath, needed, *available));
  }
}

std::string notEnoughSpaceMessage(const std::string& destination, std::uint64_t needed,
                                  std::uint64_t available) {
  return "保存文件夹“" + destination + "”所在的磁盘空间不足：本次保存需要约 " +
         sizeText(needed, true) + "，只剩 " + sizeText(available, false) +
         "。没有写入任何文件；请腾出空间或换一个保存文件夹。";
}

std::string sizeText(std::uint64_t bytes, bool roundUp) {
  const bool gigabytes = bytes >= 1'000'000'000;
  const std::uint64_t tenth = gigabytes ? 100'000'000 : 100'000;
  const std::uint64_t tenths = roundUp ? (bytes + tenth - 1) / tenth : bytes / tenth;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         (gigabytes ? " GB" : " MB");
}

}  // namespace quillmere
