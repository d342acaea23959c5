#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "records/records.h"

namespace quillmere {

// A document that is not a valid record. Its what() describes what was wrong and where.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Compact UTF-8 JSON. Absent optional fields are left out; null is never written.
std::string toJson(const Pair& pair);
std::string toJson(const BatchRequest& request);
std::string toJson(const BatchResult& result);

// Strict reading: the value must be an object; keys match exactly; every required key must hold
// a value of its type (null counts as missing); optional keys that are missing or null are
// absent; unknown keys are ignored. Anything else throws DecodingError; no partial record.
Pair pairFromJson(std::string_view bytes);
BatchRequest batchRequestFromJson(std::string_view bytes);
BatchResult batchResultFromJson(std::string_view bytes);

}  // namespace quillmere
