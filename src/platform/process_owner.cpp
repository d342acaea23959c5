#include "platform/process_owner.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>

#include "platform/unique_fd.h"

namespace quillmere {

namespace {

// The first line of a small system file, or nothing. Read directly: these are facts about the
// running system, not files of the user's that a test would need to make fail.
std::optional<std::string> firstLineOf(const char* path) {
  const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) return std::nullopt;
  char buffer[4096];
  std::size_t filled = 0;
  while (filled < sizeof buffer) {
    const ssize_t got = ::read(file.get(), buffer + filled, sizeof buffer - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  std::string_view text(buffer, filled);
  text = text.substr(0, text.find('\n'));
  if (text.empty() || text.size() == sizeof buffer) return std::nullopt;
  return std::string(text);
}

// This machine's identity. Where the system keeps none (a minimal container or chroot), the boot
// stands in for it: while the boot lasts, a record's process can still be told alive or ended;
// after it, the record looks like another machine's and its folder is left for the user, which
// errs on the safe side.
std::optional<std::string> machineId(const std::optional<std::string>& boot) {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    // systemd writes "uninitialized" until the first boot has made the identity.
    if (auto id = firstLineOf(path); id && *id != "uninitialized") return id;
  }
  if (boot) return "boot-" + *boot;
  return std::nullopt;
}

std::optional<std::string> pidNamespaceOf(const std::string& process) {
  char target[128];
  const ssize_t length = ::readlink(("/proc/" + process + "/ns/pid").c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::uint64_t> processStartTime(std::int64_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const auto line = firstLineOf(path.c_str());
  if (!line) return std::nullopt;
  // "pid (name) state ppid ...": the name may hold spaces and parentheses, so fields are counted
  // from the last ')'. The start time is the 22nd field, the 20th after the name.
  const auto close = line->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(*line).substr(close + 1);
  for (int field = 3; field <= 22; ++field) {
    if (rest.empty() || rest.front() != ' ') return std::nullopt;
    rest.remove_prefix(1);
    if (field == 22) break;
    const auto space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(space);
  }
  std::uint64_t start = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), start);
  if (error != std::errc() || end == rest.data()) return std::nullopt;
  return start;
}

std::optional<ProcessOwner> thisProcessOwner() {
  ProcessOwner owner;
  auto boot = firstLineOf("/proc/sys/kernel/random/boot_id");
  auto machine = machineId(boot);
  auto space = pidNamespaceOf("self");
  owner.pid = static_cast<std::int64_t>(::getpid());
  const auto start = processStartTime(owner.pid);
  if (!machine || !boot || !space || !start) return std::nullopt;
  owner.machine = std::move(*machine);
  owner.boot = std::move(*boot);
  owner.pidNamespace = std::move(*space);
  owner.startTime = *start;
  return owner;
}

bool isProvablyGone(const ProcessOwner& owner) {
  const auto here = thisProcessOwner();
  if (!here || owner.machine.empty() || owner.machine != here->machine) return false;
  if (owner.boot.empty()) return false;
  if (owner.boot != here->boot) return true;  // every process of an earlier boot has ended
  if (owner.pidNamespace != here->pidNamespace || owner.pid <= 0) return false;
  if (owner.pid == here->pid) return owner.startTime != here->startTime;
  if (::kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH) return true;
  // A process has the id. It is the owner unless it provably started at another moment; a /proc
  // that hides other users' processes tells nothing, and then the owner may be alive.
  const auto start = processStartTime(owner.pid);
  return start && *start != owner.startTime;
}

}  // namespace quillmere
