#pragma once

#include <string>

namespace quillmere::testing {

// The faults a damaged file can cause in a decoder, made on purpose inside a sandboxed picture
// worker of a test executable: a file whose first 64 KiB hold `faultFile(name)` (alone, or after a
// real image) makes the worker crash
// ("crash"), hang ("hang"), or try what its filter forbids ("open", "socket", "exec"). Passed to
// runPictureWorker by test executables only; the installed program has no such code.
void makePictureWorkerFault(int fileFd);
std::string faultFile(const char* name);

}  // namespace quillmere::testing
