#pragma once

#include <cstdint>

namespace quillmere {

// The most address space a picture worker may map beyond its program and libraries: its threads'
// stacks, the file it maps to read a raw preview and the pictures it decodes. A decoder asking for
// more is refused memory, never given the machine's.
inline constexpr std::uint64_t kPictureWorkerAddressSpace = std::uint64_t{2} << 30;

// Shuts the calling process in for decoding untrusted files, for the rest of its life and in every
// one of its threads: no new privileges, at most `addressSpace` bytes of address space beyond what
// it maps already, and a system-call filter under which it can read any descriptor it holds, write
// only to standard output, standard error and `channel`, receive descriptors on `channel`, use
// memory (never executable), clocks, threads and futexes, and end. Opening anything, making
// sockets, executing programs, tracing, signalling other processes or mapping code kill it
// (SIGSYS). Everything the process will need from the file system (libraries, plugins, the time
// zone) must be loaded before. Throws std::system_error when the kernel refuses any part; the
// caller must then not decode at all.
void enterPictureSandbox(int channel, std::uint64_t addressSpace);

}  // namespace quillmere
