#pragma once

#include <optional>
#include <string>

#include "transfer/create_batch.h"

// The window's save: BridgeApp's save members live in save_flow.cpp. What it promises:
// - a destination that cannot take a batch is refused when it is chosen, naming the folder, and
//   the panel opens again; an earlier batch folder, or one inside it, is refused naming the batch,
//   and the panel opens again in the folder that holds it;
// - the batch runs on one background thread with its own copy of the request; its progress, its
//   outcome and its failure come back on the main thread, and nothing is shown once the window is
//   gone;
// - a failure names the file at fault on a second line and marks that pair's row;
// - quitting while saves run stops them, waits for every one to roll back, then ends.
namespace quillmere {

// The batch of a save on the real file system.
BatchResult runCreateBatch(const BatchRequest& request, const BatchObserver& observer);

// Why a chosen destination cannot take a batch: the alert's text, naming the folder, and where the
// panel opens next (empty: where it opened before).
struct DestinationRefusal {
  std::string text;
  std::string reopenIn;
};
std::optional<DestinationRefusal> destinationRefusal(const std::string& folder);

}  // namespace quillmere
