#pragma once

#include "transfer/create_batch.h"
#include "transfer/second_thread.h"

namespace quillmere {

// Runs `step` and, if it throws, records that `subject` is at fault before passing the failure on.
template <class Step>
auto blaming(BatchSubject& site, BatchSubject subject, Step&& step) {
  try {
    return step();
  } catch (...) {
    site = subject;
    throw;
  }
}

// Runs two steps with bothInOrder and, when they fail, blames the file of the failure that is
// reported: the first step's if it failed, the second's otherwise. Each step records its own
// subject, so the two threads never write the same variable.
template <class First, class Second>
auto bothBlamed(SecondThread* helper, BatchSubject& site, First first, Second second) {
  BatchSubject firstFailed = BatchSubject::none;
  BatchSubject secondFailed = BatchSubject::none;
  bool firstDidFail = false;
  try {
    return bothInOrder(
        helper,
        [&] {
          try {
            return first(firstFailed);
          } catch (...) {
            firstDidFail = true;
            throw;
          }
        },
        [&] { return second(secondFailed); });
  } catch (...) {
    site = firstDidFail ? firstFailed : secondFailed;
    throw;
  }
}

}  // namespace quillmere
