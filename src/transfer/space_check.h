#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/records.h"
#include "transfer/batch_destination.h"

namespace quillmere {

// Room for a batch, said before anything is written. A batch writes every render once and the
// manifest; the file system takes a little more for its own bookkeeping. When the destination's
// free space for the user is short of that, the batch is refused at once with one sentence giving
// both figures, and no photo is blamed: the photos are fine, the disk is full. When the system
// cannot tell the free space, or a render's size, the batch goes ahead and the write itself tells.

// The bytes a batch of `request` is expected to take on its destination's disk.
std::uint64_t bytesToWrite(const BatchRequest& request, FileSystem& fs);

// Throws BridgeFailure(notEnoughSpaceMessage(...)) when the destination has too little room.
// `keptStaging` names the hidden staging folders left in the destination; when they hold
// anything, the refusal says how much and which, since the user cannot see them.
void requireRoomFor(const BatchRequest& request, BatchPlace& place, FileSystem& fs,
                    const std::vector<std::string>& keptStaging = {});

// "保存文件夹“/out”所在的磁盘空间不足：本次保存需要约 412.3 MB，只剩 98.1 MB。…"
std::string notEnoughSpaceMessage(const std::string& destination, std::uint64_t needed,
                                  std::uint64_t available);

// "其中 2 个以“.quillmere-partial-”开头的隐藏文件夹（…）占用约 10.5 MB，…": said after the
// refusal above when hidden staging folders the program may not remove hold `bytes`.
std::string keptStagingMessage(const std::vector<std::string>& names, std::uint64_t bytes);

// A size as a user reads it: MB below a GB, GB above, one decimal (1 MB = 1,000,000 bytes, as
// file managers count). `roundUp` for what is needed, down for what is left, so that a refusal
// never shows the two as equal.
std::string sizeText(std::uint64_t bytes, bool roundUp);

}  // namespace quillmere
