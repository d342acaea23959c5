#include "support/temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace quillmere::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillmere-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
}

std::string TempDir::operator/(std::string_view name) const {
  return m_path + "/" + std::string(name);
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write test file " + path);
}

void appendFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot append to test file " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void makeSparseFile(const std::string& path, std::int64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  int rc = ::ftruncate(fd, size);
  int err = errno;
  ::close(fd);
  if (rc != 0) throw std::system_error(err, std::generic_category(), "ftruncate " + path);
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto relative = fs::relative(entry.path(), root).string();
    if (entry.is_directory() && !entry.is_symlink()) {
      entries[relative] = "<dir>";
    } else {
      // Content and size stand in for a digest: the test fixtures are small.
      entries[relative] = readFile(entry.path().string());
    }
  }
  return entries;
}

}  // namespace quillmere::testing
