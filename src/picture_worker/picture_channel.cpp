#include "picture_worker/picture_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace quillmere {

namespace {

constexpr std::uint32_t kJobMagic = 0x51504a31;      // "QPJ1"
constexpr std::uint32_t kPictureMagic = 0x51505031;  // "QPP1"
constexpr unsigned char kReadyByte = 0x52;

struct JobMessage {
  std::uint32_t magic;
  std::uint32_t boxWidth;
  std::uint32_t boxHeight;
  std::uint32_t timeLimitMs;
  std::uint32_t embeddedPicture;
};

struct PictureHeader {
  std::uint32_t magic;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t alpha;
};

// Waits until `channel` can be read, up to `deadline`.
bool readable(int channel, Deadline deadline) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wanted{channel, POLLIN, 0};
    const int ready =
        ::poll(&wanted, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// With a deadline, waits for each piece only until then (the window); without, blocks (the worker,
// whose filter has no poll and which has nothing else to do).
bool readFully(int channel, void* buffer, std::size_t size,
               std::optional<Deadline> deadline = std::nullopt) {
  auto* at = static_cast<std::byte*>(buffer);
  while (size > 0) {
    if (deadline && !readable(channel, *deadline)) return false;
    const ssize_t got = ::read(channel, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// MSG_NOSIGNAL: a peer that has gone is an answer, not a SIGPIPE that would end the window.
bool writeFully(int channel, const void* buffer, std::size_t size) {
  const auto* at = static_cast<const std::byte*>(buffer);
  while (size > 0) {
    const ssize_t put = ::send(channel, at, size, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// A job message and room for the one descriptor beside it, as sendmsg and recvmsg take them.
struct JobEnvelope {
  JobMessage message{};
  iovec data{&message, sizeof message};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr header{};

  JobEnvelope() {
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
  }
  JobEnvelope(const JobEnvelope&) = delete;
  JobEnvelope& operator=(const JobEnvelope&) = delete;
};

}  // namespace

bool sendPictureJob(int channel, int fileFd, const PictureJob& job) {
  JobEnvelope envelope;
  JobMessage& message = envelope.message;
  message = {kJobMagic, job.boxWidth, job.boxHeight, job.timeLimitMs, job.embeddedPicture ? 1u : 0u};
  msghdr& header = envelope.header;
  cmsghdr* rights = CMSG_FIRSTHDR(&header);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(rights), &fileFd, sizeof(int));
  for (;;) {
    const ssize_t put = ::sendmsg(channel, &header, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    // The descriptor went with the first byte; the rest is plain data.
    return writeFully(channel, reinterpret_cast<const std::byte*>(&message) + put,
                      sizeof message - static_cast<std::size_t>(put));
  }
}

bool receivePicture(int channel, const PictureJob& job, Deadline deadline, Picture& picture) {
  PictureHeader header{};
  if (!readFully(channel, &header, sizeof header, deadline)) return false;
  if (header.magic != kPictureMagic || header.width > job.boxWidth ||
      header.height > job.boxHeight || (header.width == 0) != (header.height == 0)) {
    return false;
  }
  picture.width = header.width;
  picture.height = header.height;
  picture.alpha = header.alpha != 0;
  picture.pixels.assign(std::size_t{header.width} * header.height, 0);
  return readFully(channel, picture.pixels.data(), picture.pixels.size() * sizeof(std::uint32_t),
                   deadline);
}

bool receiveReady(int channel, Deadline deadline) {
  unsigned char byte = 0;
  return readFully(channel, &byte, 1, deadline) && byte == kReadyByte;
}

std::optional<ReceivedJob> receivePictureJob(int channel) {
  JobEnvelope envelope;
  JobMessage& message = envelope.message;
  msghdr& header = envelope.header;
  ssize_t got = 0;
  do {
    got = ::recvmsg(channel, &header, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return std::nullopt;
  ReceivedJob received;
  for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr; part = CMSG_NXTHDR(&header, part)) {
    if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS &&
        part->cmsg_len == CMSG_LEN(sizeof(int))) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(part), sizeof fd);
      received.file = UniqueFd(fd);
    }
  }
  if (!received.file || (header.msg_flags & MSG_CTRUNC) != 0) return std::nullopt;
  if (!readFully(channel, reinterpret_cast<std::byte*>(&message) + got,
                 sizeof message - static_cast<std::size_t>(got)) ||
      message.magic != kJobMagic) {
    return std::nullopt;
  }
  received.job = {message.boxWidth, message.boxHeight, message.timeLimitMs,
                  message.embeddedPicture != 0};
  return received;
}

bool sendPicture(int channel, const Picture& picture) {
  const PictureHeader header{kPictureMagic, picture.width, picture.height, picture.alpha ? 1u : 0u};
  return writeFully(channel, &header, sizeof header) &&
         writeFully(channel, picture.pixels.data(), picture.pixels.size() * sizeof(std::uint32_t));
}

bool sendReady(int channel) { return writeFully(channel, &kReadyByte, 1); }

}  // namespace quillmere
