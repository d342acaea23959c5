#include "records/records.h"

#include <new>

namespace quillmere {

std::string describe(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return kOutOfMemoryMessage;
  std::string text = error.what();
  // Every error the user sees must say something; an exception without a text still failed.
  if (text.empty()) text = "unknown error";
  return text;
}

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return describe(e);
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace quillmere
