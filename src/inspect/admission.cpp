#include "inspect/admission.h"

#include "records/records.h"

namespace quillmere {

void regularFile(const std::string& path, FileSystem& fs) { admittedStatus(path, fs); }

FileStatus admittedStatus(const std::string& path, FileSystem& fs) {
  // One stat answers both questions, so the kind and the size always describe the same file.
  // A failing stat (nothing at the path, no permission to search a folder) is the platform's
  // error and propagates as it is.
  const FileStatus status = fs.status(path);
  if (!status.isRegular || status.size < 1 || status.size > kLargestAdmittedFile) {
    throw PhotoNotAdmitted();
  }
  return status;
}

}  // namespace quillmere
