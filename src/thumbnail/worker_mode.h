#pragma once

// The picture worker's entry, free of Qt so the program's entry can call it: whether the command
// line asks for worker mode, and the mode itself (load the decoders, enter the sandbox, serve the
// window's jobs on the inherited channel until the window closes it). Every executable that makes
// pictures through PictureWorkers with its default program answers this mode first in main.
namespace quillmere {

bool isPictureWorkerCall(int argc, char** argv);
int runPictureWorker();

}  // namespace quillmere
