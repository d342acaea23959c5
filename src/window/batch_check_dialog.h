#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "verify/verify_batch.h"

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillmere {

class MainWindow;

// Checks saved batches from the window as `--verify` does, with the same verifyBatch and the same
// texts: a batch folder, or a folder holding several batches (each folder directly in it that
// holds a transfer manifest, in the order of their names). The check runs on a thread of its own
// behind a progress bar and a stop button; each render is then listed with its state (consistent,
// changed, missing, unreadable, or a file that does not belong) and the line `--verify` prints for
// it. A file can be shown in the file manager, and the report saved as the text `--verify` prints.
class BatchCheckDialog : public QDialog {
  Q_OBJECT

 public:
  // verifyBatch by default; tests put their own in front of it.
  using Checker = std::function<VerifyReport(const std::string& folder, const VerifyObserver&)>;

  explicit BatchCheckDialog(QWidget* parent = nullptr, Checker checker = {});
  BatchCheckDialog(const BatchCheckDialog&) = delete;
  BatchCheckDialog& operator=(const BatchCheckDialog&) = delete;
  // Stops a running check and waits for it (it ends within one chunk read).
  ~BatchCheckDialog() override;

  // Starts checking `folder`; the dialog shows how far it is.
  void check(const std::string& folder);
  bool running() const { return m_thread.joinable() && !m_finished; }

  // The report as `--verify` prints it: for several batches, each batch's under its folder's path.
  const std::string& reportText() const { return m_reportText; }
  // Writes reportText() to `path`; whether it was written. The save button's panel refuses a place
  // inside a batch checked, as --verify refuses to write its result there.
  bool saveReport(const QString& path);

  QTreeWidget* list() const { return m_list; }
  QLabel* summary() const { return m_summary; }
  QProgressBar* progress() const { return m_progress; }
  QPushButton* stopButton() const { return m_stopButton; }
  QPushButton* revealButton() const { return m_revealButton; }
  QPushButton* saveButton() const { return m_saveButton; }

  // The path of each row, for the file manager (the batch folder for a missing render).
  static constexpr int kPathRole = Qt::UserRole + 1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  struct BatchOutcome {
    std::string folder;
    VerifyReport report;
    bool stopped = false;
    std::vector<std::string> renders;  // the manifest's file names, in its order
  };

  QTreeWidget* buildList();
  QHBoxLayout* buildButtons();
  void run(std::vector<std::string> batches);
  void showProgress(const VerifyProgress& progress, std::size_t batch, std::size_t batches);
  void showOutcome(const BatchOutcome& outcome, bool several);
  // A batch's rows as --verify lists them: the manifest's own problems, each render in manifest
  // order, then what does not belong.
  void listRenders(QTreeWidgetItem* parent, const BatchOutcome& outcome);
  // One row of the list, under `parent` when several batches are listed.
  void addRow(QTreeWidgetItem* parent, const std::string& batch, const std::string& file,
              std::string_view state, const QString& line);
  void finish(bool stopped);
  void stopAndWait();
  void reveal();
  void askWhereToSave();
  // Whether a report at `path` would lie in one of the batches checked.
  bool insideCheckedBatch(const QString& path) const;

  Checker m_checker;
  QLabel* m_status;
  QProgressBar* m_progress;
  QTreeWidget* m_list;
  QLabel* m_summary;
  QPushButton* m_stopButton;
  QPushButton* m_revealButton;
  QPushButton* m_saveButton;
  QPushButton* m_closeButton;
  std::atomic<bool> m_stop{false};
  bool m_finished = false;
  std::string m_reportText;
  std::vector<std::string> m_summaries;
  std::vector<std::string> m_batchFolders;
  int m_troubledBatches = 0;
  std::thread m_thread;
};

// Adds "核对已保存的批次…" to the window's menu, before the quit item: it asks for a folder and
// checks it in a BatchCheckDialog.
void addBatchCheckItem(MainWindow& window);

}  // namespace quillmere
