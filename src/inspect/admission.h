#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"

namespace quillmere {

inline constexpr const char* kPhotoNotAdmittedMessage = "照片不可读取、为空或大于 4 GB。";
inline constexpr std::int64_t kLargestAdmittedFile = 4'294'967'296;  // 4 GiB, admitted

// Admission's refusal, a type of its own so that a place that words it its own way (the window)
// knows it without reading its message.
class PhotoNotAdmitted : public BridgeFailure {
 public:
  PhotoNotAdmitted() : BridgeFailure(kPhotoNotAdmittedMessage) {}
};

// Admits a photo file, render or original, by what one stat says of it: a regular file (links
// followed) of 1 byte to 4 GiB. Refusals are PhotoNotAdmitted; a path that
// cannot be examined at all (nothing there, say) is the platform's error.
void regularFile(const std::string& path, FileSystem& fs = posixFileSystem());

// The same admission, handing back what the one stat said, so a caller needs no second one.
FileStatus admittedStatus(const std::string& path, FileSystem& fs = posixFileSystem());

}  // namespace quillmere
