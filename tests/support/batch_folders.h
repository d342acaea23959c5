#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace quillmere::testing {

// A folder of inputs (renders and originals) beside an empty destination, for batch tests.
class BatchFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(m_dir / "in");
    std::filesystem::create_directory(m_dir / "out");
  }

  // Writes an input file and returns its path.
  std::string input(const std::string& name, const std::string& bytes) {
    writeFile(m_dir / ("in/" + name), bytes);
    return m_dir / ("in/" + name);
  }
  std::string destination() const { return m_dir / "out"; }

  TempDir m_dir;
};

}  // namespace quillmere::testing
