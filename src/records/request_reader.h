#pragma once

#include <string_view>

#include "records/records.h"

namespace quillmere {

// Decodes a batch request in one pass over its bytes, straight into the record: no document tree
// is built, so time grows linearly with the input whatever its shape (a tree-building reader with
// a depth filter rescans each array at the end of every object in it), memory is that of the
// request's own texts, and running out of memory midway unwinds through nothing that allocates.
// Refuses exactly as the strict reading of records/json.h describes, with the same messages in
// the same order: the document, then provider, catalogId, destination, items, and the first
// faulty item. Values nested deeper than any record are skipped, never held.
BatchRequest readBatchRequest(std::string_view bytes);

}  // namespace quillmere
