#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// Who made something, told well enough that another process can later prove its maker is gone:
// the machine, the boot of its kernel, the process-id namespace, and the process with the moment
// it started (a process id alone is reused; with its start time it names one process only).
struct ProcessOwner {
  std::string machine;       // /etc/machine-id
  std::string boot;          // the kernel's boot id
  std::string pidNamespace;  // which namespace `pid` counts in
  std::int64_t pid = 0;
  std::uint64_t startTime = 0;  // clock ticks after boot, as /proc/PID/stat gives it
};

// This process, or nothing when the system does not tell enough to prove it gone later (no
// machine id, no /proc): then nothing it makes can be claimed as dead, which is the safe side.
std::optional<ProcessOwner> thisProcessOwner();

// Whether `owner` is provably gone, as seen from this process: it ran on this machine and either
// the machine has booted since, or, in this boot and this process-id namespace, no process has
// its id any more or the one that does started at another moment. Anything that cannot be
// proven (another machine, another namespace, a /proc that hides the process) says it may live.
bool isProvablyGone(const ProcessOwner& owner);

// The start time of process `pid` in this namespace, or nothing when there is no such process
// or the system does not tell.
std::optional<std::uint64_t> processStartTime(std::int64_t pid);

}  // namespace quillmere
