#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QSize>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "window_logic/toolkit.h"

namespace quillmere {

class MainWindow;
class RenderTableModel;

// The Qt 6 Widgets side of the toolkit: modal QFileDialog and QMessageBox over the window, the
// window's controls, a thread of its own for each background job (never Qt's global thread pool,
// which Qt's own painting and image scaling wait on: a batch there could freeze the window) and
// queued calls back to the GUI thread, and QSettings in the user's configuration folder for the
// folders panels remember. Blocks queued here are dropped when the toolkit is destroyed, which
// first waits for every job it started.
class QtToolkit : public QObject, public Toolkit {
 public:
  explicit QtToolkit(MainWindow& window);
  ~QtToolkit() override;
  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;
  // The table's model, once it exists; reloading does nothing before.
  void attach(RenderTableModel& model) { m_model = &model; }

  std::optional<std::vector<std::string>> runOpenPanel(const OpenPanel& panel) override;
  void runAlert(const std::string& text) override;
  bool askToQuit(const QuitQuestion& question) override;
  void changeQuitQuestion(const QuitQuestion& question) override;
  void showFolder(const std::string& path) override;
  void runInBackground(std::function<void()> job) override;
  void runOnMainThread(std::function<void()> block) override;
  void reloadTable() override;
  int selectedRow() override;
  std::vector<int> selectedRows() override;
  void selectRow(int row) override;
  void focusTable() override;
  void setSaveEnabled(bool enabled) override;
  void setMessage(const std::string& text) override;
  void setMessageDetail(const std::string& detail) override;
  void showBusyProgress() override;
  void showProgress(std::uint64_t done, std::uint64_t total, std::size_t filesDone,
                    std::size_t filesTotal) override;
  void hideProgress() override;
  void quit() override;
  std::string rememberedFolder(PanelFolder panel) override;
  void rememberFolder(PanelFolder panel, const std::string& folder) override;

  // The window's size when it was last closed, kept with the folders; invalid when there is none.
  // Storing an invalid size forgets it.
  QSize rememberedWindowSize();
  void rememberWindowSize(QSize size);

  // Runs an action of the window so that no exception leaves it into Qt: whatever escapes is
  // shown in an alert instead.
  void guarded(const std::function<void()>& action) noexcept;

  // Waits until every background job started so far has ended.
  void waitForBackgroundJobs();
  // How many background jobs are running now.
  std::size_t runningJobs();
  // Called after every reload of the table.
  std::function<void()> reloaded;
  // A line about the selected row that the message line shows below its message (why pairing by
  // name left the row waiting), or an empty text; asked again by updateMessageLine.
  std::function<QString()> rowNote;
  // Shows the message with the selected row's note, as they are now.
  void updateMessageLine();

 private:
  MainWindow& m_window;
  RenderTableModel* m_model = nullptr;
  // The quit question while it is open.
  QPointer<QMessageBox> m_quitQuestion;
  QSettings m_settings;
  QString m_message;
  // One thread per background job; those that have ended are joined when the next one starts.
  struct Job {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  void joinEnded();
  std::vector<Job> m_jobs;
};

}  // namespace quillmere
