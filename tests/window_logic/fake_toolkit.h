#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "window_logic/toolkit.h"

namespace quillmere::testing {

// A toolkit that plays back scripted panel answers and records everything BridgeApp asks of it.
// Background jobs wait until the test runs them (on the test's thread or on threads of their
// own); blocks for the main thread wait until the test drains them, always on the test's thread.
class FakeToolkit : public Toolkit {
 public:
  enum class Progress { hidden, busy, amount };

  ~FakeToolkit() override;

  // --- script
  // Answers of the next panels, in order; a panel without a scripted answer is cancelled and
  // fails the test.
  std::deque<std::optional<std::vector<std::string>>> panelAnswers;
  // Runs while a panel is open, before it answers.
  std::function<void()> onPanel;
  // Runs when an alert is shown, before it is "dismissed".
  std::function<void(const std::string&)> onAlert;
  // Answers to the question asked on quitting during a save, in order; true (stop and quit) when
  // none is left.
  std::deque<bool> stopAnswers;
  // Runs while the quit question is open, before it is answered (a save may end meanwhile).
  std::function<void()> onQuitQuestion;
  // The selection of the table as the user left it.
  int selected = -1;
  // Rows selected besides `selected`, as Shift or Ctrl would add them; a new selection drops them.
  std::vector<int> extended;

  // --- record
  std::vector<OpenPanel> panels;
  std::vector<std::string> alerts;
  int stopQuestions = 0;
  // The quit question as asked, then each form it was changed to while open.
  std::vector<QuitQuestion> quitQuestions;
  bool quitQuestionOpen = false;
  std::vector<std::string> shownFolders;
  int reloads = 0;
  bool saveEnabled = false;
  bool tableFocused = false;
  std::string message;
  std::string messageDetail;
  // The folders panels remember, as the toolkit's settings would keep them.
  std::map<PanelFolder, std::string> folders;
  Progress progress = Progress::hidden;
  std::uint64_t progressDone = 0;
  std::uint64_t progressTotal = 0;
  std::size_t progressFilesDone = 0;
  std::size_t progressFilesTotal = 0;
  int quits = 0;

  // --- background jobs and main-thread blocks
  std::size_t pendingJobs() const { return m_jobs.size(); }
  // Runs the oldest pending job on this thread.
  void runJob();
  // Starts the oldest pending job on a thread of its own; joined by joinJobs or the destructor.
  void startJob();
  void joinJobs();
  // Waits (at most 5 s) until at least `count` blocks are waiting for the main thread.
  bool waitForBlocks(std::size_t count);
  // Runs waiting blocks, including those they post, until none is left. Returns how many ran.
  std::size_t drain();

  // Toolkit
  std::optional<std::vector<std::string>> runOpenPanel(const OpenPanel& panel) override;
  void runAlert(const std::string& text) override;
  bool askToQuit(const QuitQuestion& question) override;
  void changeQuitQuestion(const QuitQuestion& question) override {
    if (quitQuestionOpen) quitQuestions.push_back(question);
  }
  void showFolder(const std::string& path) override { shownFolders.push_back(path); }
  void runInBackground(std::function<void()> job) override { m_jobs.push_back(std::move(job)); }
  void runOnMainThread(std::function<void()> block) override;
  void reloadTable() override { ++reloads; }
  int selectedRow() override { return selected; }
  std::vector<int> selectedRows() override;
  void selectRow(int row) override {
    selected = row;
    extended.clear();
  }
  // The table has the keyboard; whoever else takes it is up to the test.
  void focusTable() override { tableFocused = true; }
  void setSaveEnabled(bool enabled) override { saveEnabled = enabled; }
  void setMessage(const std::string& text) override {
    message = text;
    messageDetail.clear();
  }
  void setMessageDetail(const std::string& detail) override { messageDetail = detail; }
  void showBusyProgress() override { progress = Progress::busy; }
  void showProgress(std::uint64_t done, std::uint64_t total, std::size_t filesDone,
                    std::size_t filesTotal) override;
  void hideProgress() override { progress = Progress::hidden; }
  void quit() override { ++quits; }
  std::string rememberedFolder(PanelFolder panel) override {
    const auto folder = folders.find(panel);
    return folder == folders.end() ? std::string() : folder->second;
  }
  void rememberFolder(PanelFolder panel, const std::string& folder) override {
    folders[panel] = folder;
  }

 private:
  std::deque<std::function<void()>> m_jobs;
  std::vector<std::thread> m_threads;
  std::mutex m_mutex;
  std::condition_variable m_posted;
  std::deque<std::function<void()>> m_blocks;
};

}  // namespace quillmere::testing
