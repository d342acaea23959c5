#pragma once

// The picture worker's entry, free of Qt so the program's entry can call it: whether the command
// line asks for worker mode, and the mode itself (load the decoders, enter the sandbox, serve the
// window's jobs on the inherited channel until the window closes it). Every executable that makes
// pictures through PictureWorkers with its default program answers this mode first in main.
namespace quillmere {

// Called inside the sandbox with each job's file before it is decoded. The installed program
// passes none; test executables pass one that makes a worker crash, hang or break its filter on
// a marked file, so those faults run through the real worker but cannot exist in the program.
using PictureJobProbe = void (*)(int fileFd);

bool isPictureWorkerCall(int argc, char** argv);
int runPictureWorker(PictureJobProbe beforeEachJob = nullptr);

}  // namespace quillmere
