#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fake_toolkit.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "window_logic/bridge_app.h"

namespace quillmere::testing {

// A BridgeApp on a fake toolkit, with a folder for renders and originals.
class WindowTest : public ::testing::Test {
 protected:
  // A small valid PNG render in the test's folder; its path.
  std::string render(const std::string& name, int seed = 0) {
    writeFile(m_dir / name, pngImage(4, 3, seed));
    return m_dir / name;
  }
  // `count` renders named `prefix`0.png, `prefix`1.png, ...
  std::vector<std::string> renders(int count, const std::string& prefix = "r") {
    const std::string bytes = pngImage(4, 3);
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(m_dir / (prefix + std::to_string(i) + ".png"));
      writeFile(paths.back(), bytes);
    }
    return paths;
  }
  std::string file(const std::string& name, const std::string& bytes) {
    writeFile(m_dir / name, bytes);
    return m_dir / name;
  }
  // Makes each of these files that does not exist yet (and its folder), as an original to choose.
  static void touch(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
      if (std::filesystem::exists(path)) continue;
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      writeFile(path, "original " + path);
    }
  }
  // Pairs the render at `row` with `original` through the choose panel. An original is checked
  // when it is chosen, so one that does not exist yet is made first.
  void pair(int row, const std::string& original) {
    touch({original});
    m_toolkit.selected = row;
    m_toolkit.panelAnswers.push_back(std::vector<std::string>{original});
    m_app->chooseOriginal();
  }

  TempDir m_dir;
  FakeToolkit m_toolkit;
  std::unique_ptr<BridgeApp> m_app = std::make_unique<BridgeApp>(m_toolkit);
};

}  // namespace quillmere::testing
