// libFuzzer target: the bytes of a render or an original, made into the table's small picture.
#include <QImage>
#include <QSize>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz/input_sizes.h"
#include "thumbnail/thumbnail.h"

namespace {

// Qt's readers report damage through the message handler, which the window drops as well; the
// fuzzer's output stays its own.
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qInstallMessageHandler(dropMessage);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzz::noteInputSize(size);
  const QSize box(64, 48);
  const QImage picture =
      quillmere::makeThumbnail(std::as_bytes(std::span<const std::uint8_t>(data, size)), box);
  if (!picture.isNull() && (picture.width() > box.width() || picture.height() > box.height())) {
    std::fprintf(stderr, "broken promise: a picture of %dx%d outside the %dx%d box\n",
                 picture.width(), picture.height(), box.width(), box.height());
    std::abort();
  }
  return 0;
}
