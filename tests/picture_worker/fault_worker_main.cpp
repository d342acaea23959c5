#include "thumbnail/worker_mode.h"
#include "worker_faults.h"

// The picture worker exactly as the program runs it, with the test faults a marked file asks for.
int main(int argc, char** argv) {
  if (!quillmere::isPictureWorkerCall(argc, argv)) return 2;
  return quillmere::runPictureWorker(quillmere::testing::makePictureWorkerFault);
}
