#include "reliability/reliability_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <stdexcept>
#include <system_error>

#include "inspect/digest.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/manifest.h"

namespace quillmere::testing {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string incompleteBatch(const std::string& folder, std::size_t expectedItems,
                            const std::vector<std::string>& renderDigests) {
  const std::string manifestPath = folder + "/" + kManifestFileName;
  if (!fs::is_regular_file(manifestPath)) return folder + ": no manifest";
  nlohmann::json manifest;
  try {
    manifest = nlohmann::json::parse(readFile(manifestPath));
  } catch (const std::exception& error) {
    return folder + ": manifest unreadable: " + error.what();
  }
  const std::string name = fs::path(folder).filename();
  if (!manifest.contains("transferBatchId") ||
      "Quillmere-" + manifest["transferBatchId"].get<std::string>() != name) {
    return folder + ": manifest of another batch";
  }
  if (!manifest.contains("items") || manifest["items"].size() != expectedItems) {
    return folder + ": manifest does not list " + std::to_string(expectedItems) + " items";
  }
  std::set<std::string> expectedNames = {kManifestFileName};
  for (std::size_t i = 0; i < expectedItems; ++i) {
    const auto& item = manifest["items"][i];
    const std::string file = item["renderFilename"];
    const std::string path = folder + "/" + file;
    expectedNames.insert(file);
    if (!fs::is_regular_file(path)) return folder + ": render " + file + " missing";
    const std::string actual = sha256(path);
    if (actual != item["renderSha256"])
      return folder + ": render " + file + " differs from its digest";
    if (i < renderDigests.size() && actual != renderDigests[i]) {
      return folder + ": render " + file + " is not the render of pair " + std::to_string(i);
    }
  }
  const auto present = namesIn(folder);
  if (std::set<std::string>(present.begin(), present.end()) != expectedNames) {
    return folder + ": holds files the manifest does not name";
  }
  return "";
}

std::string incompleteBatchesIn(const std::string& destination, std::size_t expectedItems,
                                const std::vector<std::string>& renderDigests) {
  std::string problems;
  for (const auto& name : namesIn(destination)) {
    if (!name.starts_with("Quillmere-")) continue;
    const std::string problem =
        incompleteBatch(destination + "/" + name, expectedItems, renderDigests);
    if (!problem.empty()) problems += problem + "\n";
  }
  return problems;
}

std::string paddedPng(std::size_t size, int seed) {
  std::string bytes = pngImage(2, 2, seed);
  if (bytes.size() < size) bytes.resize(size, '\0');
  return bytes;
}

BatchRequest smallRequest(const std::string& inputs, const std::string& destination, int pairs) {
  BatchRequest request{"CAPTURE_ONE", "catalog", destination, {}};
  for (int i = 0; i < pairs; ++i) {
    const std::string index = std::to_string(i);
    std::string render;
    switch (i % 3) {
      case 0:
        render = inputs + "/r" + index + ".jpg";
        writeFile(render, jpegImage(8, 6, i));
        break;
      case 1:
        render = inputs + "/r" + index + ".png";
        writeFile(render, pngImage(8, 6, i));
        break;
      default:
        render = inputs + "/r" + index + ".tif";
        writeFile(render, tiffImage(8, 6, i));
        break;
    }
    const std::string original = inputs + "/o" + index + ".iiq";
    writeFile(original, "original photo " + index);
    request.items.push_back({original, render, "photo/" + index, "variant-" + index});
  }
  return request;
}

void forEachCall(const CallLog& calls,
                 const std::function<void(FsOp op, int k, const std::string& path)>& each) {
  for (const auto& [op, paths] : calls) {
    std::map<std::string, int> seen;  // by path with its random names, as FaultyFileSystem counts
    for (const std::string& path : paths) {
      const int k = ++seen[withoutUuids(path)];
      SCOPED_TRACE(std::string(name(op)) + " #" + std::to_string(k) + " on " + path);
      each(op, k, path);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

CallLog recordCalls(const std::function<void(FileSystem&)>& run) {
  CallLog log;
  std::mutex mutex;  // a batch reads large pairs on two threads
  FaultyFileSystem recorder;
  recorder.before = [&](FsOp op, const std::string& path) {
    const std::lock_guard lock(mutex);
    log[op].push_back(path);
  };
  run(recorder);
  return log;
}

int openDescriptorCount() {
  int count = 0;
  // The iterator's own descriptor is open while counting; it is there both times.
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

ChildProcess startBridge(const std::vector<std::string>& args, const std::string& cwd,
                         const std::string& stderrPath) {
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  std::vector<char*> argv{const_cast<char*>(QUILLMERE_BRIDGE)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/bin:/bin";
  char* env[] = {path, nullptr};
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    dieWithTestProcess(parent);
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_WRONLY);
    if (err < 0 || null < 0 || ::dup2(null, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(120);
    if (::chdir(cwd.c_str()) != 0) ::_exit(121);
    ::execve(QUILLMERE_BRIDGE, argv.data(), env);
    ::_exit(122);
  }
  return ChildProcess(pid);
}

int waitForExit(ChildProcess& child) { return child.wait().value_or(-SIGKILL); }

long peakMemoryOfChild(const std::function<bool()>& body, bool& ok) {
  ChildProcess child = forkChild(body);
  rusage usage{};
  ok = child.wait(kChildTimeLimit, &usage) == 0;
  return usage.ru_maxrss;
}

StderrToFile::StderrToFile(const std::string& path)
    : m_saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (m_saved < 0 || file < 0)
    throw std::system_error(errno, std::generic_category(), "redirect stderr");
  ::dup2(file, STDERR_FILENO);
  ::close(file);
}

StderrToFile::~StderrToFile() {
  ::dup2(m_saved, STDERR_FILENO);
  ::close(m_saved);
}

}  // namespace quillmere::testing
