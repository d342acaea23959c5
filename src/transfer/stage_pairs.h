#pragma once

#include <vector>

#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/batch_progress.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"
#include "transfer/staging_folder.h"

namespace quillmere {

// Stages every pair of `request` into `staging`: read, copied, checked, flushed and read back from
// the medium. Two pairs are in flight, one on each of the batch's two threads; results, failures
// and reports come out exactly as if the pairs ran one after another: the items keep request
// order, the first failure in request order is the one thrown (with `site` naming its pair and
// file), and the observer hears of the pairs in order, from the calling thread only.
std::vector<ManifestItem> stagePairs(const BatchRequest& request, const std::string& fingerprint,
                                     StagingFolder& staging, FileSystem& fs,
                                     BatchProgressTracker& progress, BatchFailureSite& site);

}  // namespace quillmere
