#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "inspect/admission.h"
#include "transfer/create_batch.h"
#include "window_logic/window_texts.h"

namespace quillmere::texts {

// The window names a binary limit in binary units, as its own texts do. The batch's texts, shared
// with request mode whose results are fixed, say "MB" and "GB" for the same limits; in the window
// they begin an alert, and are said there the window's way: a failure's text as the window shows
// it, told by the failure's type.
inline std::string inWindowVoice(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const RenderTooLarge&) {
    return std::string(kRenderTooLarge);
  } catch (const PhotoNotAdmitted&) {
    return std::string(kPhotoNotAdmitted);
  } catch (...) {
    // Every other failure reads in the window as it reads anywhere.
    return describe(failure);
  }
}

}  // namespace quillmere::texts
