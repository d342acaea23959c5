#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace quillmere {

// The hidden command-line mode in which the executable serves picture jobs; never shown to users.
inline constexpr std::string_view kPictureWorkerFlag = "--picture-worker";
// The descriptor a worker finds its channel to the window on.
inline constexpr int kPictureChannelFd = 3;

// One picture asked of a worker; the file itself travels beside it as an open descriptor.
struct PictureJob {
  std::uint32_t boxWidth = 0;
  std::uint32_t boxHeight = 0;
  std::uint32_t timeLimitMs = 0;
  // Whether a smaller picture the file holds (an EXIF thumbnail, a reduced-resolution image) may
  // stand in for its whole image where it is large enough for the box.
  bool embeddedPicture = false;
};

// A worker's answer: 32-bit pixels in the machine's 0xAARRGGBB words (premultiplied when `alpha`,
// opaque otherwise), rows without padding. Empty when the file gives no picture.
struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool alpha = false;
  std::vector<std::uint32_t> pixels;

  bool empty() const { return pixels.empty(); }
};

using Deadline = std::chrono::steady_clock::time_point;

// The window's side. Each returns false once the worker is gone, misbehaves, or `deadline` passes.
bool sendPictureJob(int channel, int fileFd, const PictureJob& job);
// The answer to the job sent last, held to the job's box: a worker cannot make the window hold
// more than the picture it asked for.
bool receivePicture(int channel, const PictureJob& job, Deadline deadline, Picture& picture);
// The byte a worker sends once it is sandboxed and ready for jobs.
bool receiveReady(int channel, Deadline deadline);

// The worker's side, blocking. Nothing when the window has closed the channel (or broke the
// protocol): the worker ends.
struct ReceivedJob {
  PictureJob job;
  UniqueFd file;
};
std::optional<ReceivedJob> receivePictureJob(int channel);
bool sendPicture(int channel, const Picture& picture);
bool sendReady(int channel);

}  // namespace quillmere
