#pragma once

// What the window's benchmarks share: the pictures of a photographer's pair made anew, the real
// toolkit answering its panels without a user, and a watch on the event loop's longest pause.

#include <QApplication>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "thumbnail/exif_fixture.h"
#include "bench_support.h"
#include "support/images.h"
#include "window/qt_toolkit.h"

namespace quillmere::bench {

// A render as a camera's export: 5400 x 3600, a JPEG of about 20 MB at quality 98; its original
// a raw-like file of 16-bit samples (3536 x 3536 x 2 bytes, about 25 MB) carrying a 1616 x 1080
// JPEG preview.
inline constexpr int kRenderWidth = 5400;
inline constexpr int kRenderHeight = 3600;
inline constexpr int kPreviewWidth = 1616;
inline constexpr int kPreviewHeight = 1080;
inline constexpr int kRawSide = 3536;

// Photographic enough for a JPEG of about 20 MB at quality 98: smooth light with grain on top.
inline QImage grainyPicture(int width, int height, std::mt19937& rng) {
  QImage image(width, height, QImage::Format_RGB32);
  std::uniform_int_distribution<int> grain(-40, 40);
  const int tint = static_cast<int>(rng() % 100);
  for (int y = 0; y < height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const int base = (x * 200 / width + y * 55 / height);
      line[x] = qRgb(std::clamp(base + grain(rng), 0, 255),
                     std::clamp(base / 2 + tint + grain(rng), 0, 255),
                     std::clamp(255 - base + grain(rng), 0, 255));
    }
  }
  return image;
}

// The sizes of the pairs makeDistinctPairs wrote, in bytes, all of them together.
struct PairBytes {
  double renders = 0;
  double originals = 0;
};

// Writes `distinct` different pairs into `folder`, "distinct-<i>.jpg" and "distinct-<i>.dng".
inline PairBytes makeDistinctPairs(const std::filesystem::path& folder, int distinct,
                                   std::mt19937& rng) {
  PairBytes bytes;
  for (int i = 0; i < distinct; ++i) {
    const QImage picture = grainyPicture(kRenderWidth, kRenderHeight, rng);
    const std::string render = quillmere::testing::jpegOf(picture, 98);
    writeFile(folder / ("distinct-" + std::to_string(i) + ".jpg"), render);
    const std::string preview = quillmere::testing::jpegOf(picture.scaled(kPreviewWidth, kPreviewHeight,
                                                    Qt::IgnoreAspectRatio, Qt::FastTransformation),
                                     90);
    const std::string original = testing::dngLikeImage(preview, kPreviewWidth, kPreviewHeight,
                                                       true, kRawSide, kRawSide);
    writeFile(folder / ("distinct-" + std::to_string(i) + ".dng"), original);
    bytes.renders += static_cast<double>(render.size());
    bytes.originals += static_cast<double>(original.size());
  }
  return bytes;
}

// The real toolkit but for the panels and alerts, answered without a user: the originals panel
// with every original at once (pairing each render with the original of its base name).
class ScriptedToolkit : public QtToolkit {
 public:
  ScriptedToolkit(MainWindow& window, std::vector<std::string> originals)
      : QtToolkit(window), m_originals(std::move(originals)) {}
  std::optional<std::vector<std::string>> runOpenPanel(const OpenPanel&) override {
    return m_originals;
  }
  void runAlert(const std::string& text) override {
    std::fprintf(stderr, "unexpected alert: %s\n", text.c_str());
  }

 private:
  std::vector<std::string> m_originals;
};

// Qt's diagnostics (a missing runtime folder) would mix with the figures.
inline void silent(QtMsgType, const QMessageLogContext&, const QString&) {}

// A timer that ticks every 5 ms once started, keeping the longest time between two ticks: how long
// the event loop was kept from the window. `onTick` runs at every tick too.
class GapWatch {
 public:
  explicit GapWatch(std::function<void()> onTick = {}) {
    QObject::connect(&m_ticker, &QTimer::timeout, [this, onTick = std::move(onTick)] {
      const auto now = Clock::now();
      longest = std::max(longest, std::chrono::duration<double>(now - m_last).count());
      m_last = now;
      if (onTick) onTick();
    });
  }
  // Starts (or starts again) from now, forgetting what was kept before.
  void start() {
    m_last = Clock::now();
    longest = 0;
    m_ticker.start(5);
  }
  void stop() { m_ticker.stop(); }

  double longest = 0;  // seconds

 private:
  QTimer m_ticker;
  Clock::time_point m_last = Clock::now();
};

}  // namespace quillmere::bench
