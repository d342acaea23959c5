#pragma once

#include <string>
#include <string_view>

#include "inspect/admission.h"
#include "transfer/create_batch.h"
#include "ui/window_texts.h"

namespace quillmere::texts {

// The window names a binary limit in binary units, as its own texts do. The batch's texts, shared
// with request mode whose results are fixed, say "MB" and "GB" for the same limits; in the window
// they begin an alert, and are said there the window's way.
inline std::string inWindowVoice(std::string text) {
  const auto replaceLeading = [&text](std::string_view shared, std::string_view own) {
    if (text.starts_with(shared)) text.replace(0, shared.size(), own);
  };
  replaceLeading(kRenderTooLargeMessage, kRenderTooLarge);
  replaceLeading(kPhotoNotAdmittedMessage, kPhotoNotAdmitted);
  return text;
}

}  // namespace quillmere::texts
