#include "thumbnail/worker_mode.h"

#include <unistd.h>

#include <QImage>
#include <QtGlobal>
#include <cstring>
#include <ctime>
#include <string_view>

#include "picture_worker/picture_channel.h"
#include "picture_worker/sandbox.h"
#include "thumbnail/thumbnail.h"

namespace quillmere {

namespace {

// What the worker answers when the window breaks the protocol or the sandbox cannot be entered.
constexpr int kUnusableExit = 70;

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

Picture pictureOf(const QImage& image) {
  Picture picture;
  if (image.isNull()) return picture;
  const QImage pixels = image.convertToFormat(
      image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
  picture.width = static_cast<std::uint32_t>(pixels.width());
  picture.height = static_cast<std::uint32_t>(pixels.height());
  picture.alpha = pixels.hasAlphaChannel();
  picture.pixels.resize(std::size_t{picture.width} * picture.height);
  for (int y = 0; y < pixels.height(); ++y) {
    std::memcpy(picture.pixels.data() + std::size_t{picture.width} * static_cast<std::size_t>(y),
                pixels.constScanLine(y), std::size_t{picture.width} * sizeof(std::uint32_t));
  }
  return picture;
}

}  // namespace

bool isPictureWorkerCall(int argc, char** argv) {
  return argc == 2 && std::string_view(argv[1]) == kPictureWorkerFlag;
}

int runPictureWorker(PictureJobProbe beforeEachJob) {
  // Nothing but the channel and the three standard descriptors is wanted from the window.
  ::close_range(kPictureChannelFd + 1, ~0U, 0);
  qInstallMessageHandler(dropMessage);
  // Everything that reads the file system, before the sandbox shuts it: the image plugins and the
  // libraries they bring, and the time zone raw files' dates are read in.
  ::tzset();
  loadThumbnailDecoders();
  try {
    enterPictureSandbox(kPictureChannelFd, kPictureWorkerAddressSpace);
  } catch (...) {
    return kUnusableExit;
  }
  if (!sendReady(kPictureChannelFd)) return kUnusableExit;
  while (std::optional<ReceivedJob> received = receivePictureJob(kPictureChannelFd)) {
    if (beforeEachJob != nullptr) beforeEachJob(received->file.get());
    const QImage image = makeThumbnailOfFile(
        received->file.get(),
        QSize(static_cast<int>(std::min<std::uint32_t>(received->job.boxWidth, 1 << 15)),
              static_cast<int>(std::min<std::uint32_t>(received->job.boxHeight, 1 << 15))),
        std::chrono::milliseconds(received->job.timeLimitMs),
        received->job.embeddedPicture ? PictureSource::embeddedWhereLargeEnough
                                      : PictureSource::wholeImage);
    received->file.reset();
    if (!sendPicture(kPictureChannelFd, pictureOf(image))) return kUnusableExit;
  }
  return 0;
}

}  // namespace quillmere
