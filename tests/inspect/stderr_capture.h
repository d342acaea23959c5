#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace quillmere::testing {

// Redirects file descriptor 2 into a temporary file for as long as it lives, so a test can prove
// that no library wrote a diagnostic while it ran. GoogleTest reports on standard output, which
// stays untouched.
class StderrCapture {
 public:
  StderrCapture() : m_file(std::tmpfile()), m_saved(::dup(2)) {
    std::fflush(stderr);
    if (m_file && m_saved >= 0) ::dup2(::fileno(m_file), 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    restore();
    if (m_file) std::fclose(m_file);
  }

  // Stops capturing and returns everything written meanwhile.
  std::string finish() {
    restore();
    std::string text;
    if (!m_file) return "<no capture file>";
    std::rewind(m_file);
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) text.append(buffer, count);
    return text;
  }

 private:
  void restore() {
    if (m_saved < 0) return;
    std::fflush(stderr);
    ::dup2(m_saved, 2);
    ::close(m_saved);
    m_saved = -1;
  }

  std::FILE* m_file;
  int m_saved;
};

}  // namespace quillmere::testing
