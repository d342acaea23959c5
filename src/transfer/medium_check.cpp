#include "transfer/medium_check.h"

#include <exception>
#include <utility>

#include "inspect/digest.h"

namespace quillmere {

void refetchFromMedium(OpenFile& file, FileSystem& fs) {
  fs.dropCachedPages(file);
  fs.prefetch(file);
}

void MediumCheck::staged(StagedCopy copy) {
  verifyFetched();
  fetch(m_written);
  m_written.push_back(std::move(copy));
}

void MediumCheck::finish() {
  verifyFetched();
  fetch(m_written);
  verifyFetched();
}

void MediumCheck::fetch(std::vector<StagedCopy>& copies) {
  for (StagedCopy& copy : copies) {
    try {
      m_fs.sync(copy.file);
      refetchFromMedium(copy.file, m_fs);
      m_fetched.push_back(std::move(copy));
    } catch (...) {
      m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none);
    }
  }
  copies.clear();
}

void MediumCheck::verifyFetched() {
  for (StagedCopy& copy : m_fetched) {
    try {
      if (sha256OfSize(copy.file, m_fs, copy.size, m_hookFor(copy.pair)) != copy.sha256) {
        throw BridgeFailure(kMediumMismatchMessage);
      }
    } catch (const BridgeFailure&) {
      m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none, copy.file.path);
    } catch (...) {
      m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none);
    }
  }
  m_fetched.clear();
}

}  // namespace quillmere
