#include "fake_toolkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace quillmere::testing {

FakeToolkit::~FakeToolkit() { joinJobs(); }

void FakeToolkit::runJob() {
  ASSERT_FALSE(m_jobs.empty()) << "no background job to run";
  auto job = std::move(m_jobs.front());
  m_jobs.pop_front();
  job();
}

void FakeToolkit::startJob() {
  ASSERT_FALSE(m_jobs.empty()) << "no background job to start";
  m_threads.emplace_back(std::move(m_jobs.front()));
  m_jobs.pop_front();
}

void FakeToolkit::joinJobs() {
  for (auto& thread : m_threads) thread.join();
  m_threads.clear();
}

bool FakeToolkit::waitForBlocks(std::size_t count) {
  std::unique_lock lock(m_mutex);
  return m_posted.wait_for(lock, std::chrono::seconds(5), [&] { return m_blocks.size() >= count; });
}

std::size_t FakeToolkit::drain() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> block;
    {
      std::lock_guard lock(m_mutex);
      if (m_blocks.empty()) return ran;
      block = std::move(m_blocks.front());
      m_blocks.pop_front();
    }
    block();
    ++ran;
  }
}

std::optional<std::vector<std::string>> FakeToolkit::runOpenPanel(const OpenPanel& panel) {
  panels.push_back(panel);
  if (onPanel) onPanel();
  if (panelAnswers.empty()) {
    ADD_FAILURE() << "unexpected panel: " << panel.message;
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> answer;
  answer.swap(panelAnswers.front());
  panelAnswers.pop_front();
  return answer;
}

bool FakeToolkit::askToQuit(const QuitQuestion& question) {
  ++stopQuestions;
  quitQuestions.push_back(question);
  quitQuestionOpen = true;
  if (onQuitQuestion) onQuitQuestion();
  quitQuestionOpen = false;
  if (stopAnswers.empty()) return true;
  const bool stop = stopAnswers.front();
  stopAnswers.pop_front();
  return stop;
}

void FakeToolkit::runAlert(const std::string& text) {
  alerts.push_back(text);
  if (onAlert) onAlert(text);
}

void FakeToolkit::runOnMainThread(std::function<void()> block) {
  {
    std::lock_guard lock(m_mutex);
    m_blocks.push_back(std::move(block));
  }
  m_posted.notify_all();
}

void FakeToolkit::showProgress(std::uint64_t done, std::uint64_t total, std::size_t filesDone,
                               std::size_t filesTotal) {
  progress = Progress::amount;
  progressDone = done;
  progressTotal = total;
  progressFilesDone = filesDone;
  progressFilesTotal = filesTotal;
}

std::vector<int> FakeToolkit::selectedRows() {
  std::vector<int> rows = extended;
  if (selected >= 0) rows.push_back(selected);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

}  // namespace quillmere::testing
