#include "thumbnail/worker_mode.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QImage>
#include <QtGlobal>
#include <cstdlib>
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

// Faults the tests make happen inside a sandboxed worker: a file starting with this marker and a
// fault's name makes the worker crash, hang, or try what its filter forbids. Only when the
// environment asks for it, and only ever against the worker itself.
constexpr std::string_view kFaultMarker = "QUILLMERE-TEST-FAULT:";

bool faultsEnabled() {
  const char* value = std::getenv("QUILLMERE_PICTURE_WORKER_FAULTS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

void makeFault(int fileFd) {
  char head[64] = {};
  const ssize_t got = ::pread(fileFd, head, sizeof head - 1, 0);
  if (got <= 0) return;
  const std::string_view text(head, static_cast<std::size_t>(got));
  if (!text.starts_with(kFaultMarker)) return;
  const std::string_view fault = text.substr(kFaultMarker.size());
  if (fault.starts_with("crash")) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (fault.starts_with("hang")) {
    for (;;) asm volatile("");
  } else if (fault.starts_with("open")) {
    ::close(::open("/etc/hostname", O_RDONLY));
  } else if (fault.starts_with("socket")) {
    ::close(::socket(AF_INET, SOCK_STREAM, 0));
  } else if (fault.starts_with("exec")) {
    char* const arguments[] = {const_cast<char*>("true"), nullptr};
    ::execv("/bin/true", arguments);
  }
}

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

int runPictureWorker() {
  // Nothing but the channel and the three standard descriptors is wanted from the window.
  ::close_range(kPictureChannelFd + 1, ~0U, 0);
  qInstallMessageHandler(dropMessage);
  const bool faults = faultsEnabled();
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
    if (faults) makeFault(received->file.get());
    const QImage image = makeThumbnailOfFile(
        received->file.get(),
        QSize(static_cast<int>(std::min<std::uint32_t>(received->job.boxWidth, 1 << 15)),
              static_cast<int>(std::min<std::uint32_t>(received->job.boxHeight, 1 << 15))),
        std::chrono::milliseconds(received->job.timeLimitMs));
    received->file.reset();
    if (!sendPicture(kPictureChannelFd, pictureOf(image))) return kUnusableExit;
  }
  return 0;
}

}  // namespace quillmere
