#pragma once

#include <QObject>
#include <QSettings>
#include <functional>

#include "ui/toolkit.h"

namespace quillmere {

class MainWindow;
class RenderTableModel;

// The Qt 6 Widgets side of the toolkit: modal QFileDialog and QMessageBox over the window, the
// window's controls, Qt's global thread pool for background jobs and queued calls back to the GUI
// thread, and QSettings in the user's configuration folder for the folders panels remember. Blocks
// queued here are dropped when the toolkit is destroyed.
class QtToolkit : public QObject, public Toolkit {
 public:
  explicit QtToolkit(MainWindow& window);
  // The table's model, once it exists; reloading does nothing before.
  void attach(RenderTableModel& model) { m_model = &model; }

  std::optional<std::vector<std::string>> runOpenPanel(const OpenPanel& panel) override;
  void runAlert(const std::string& text) override;
  void showFolder(const std::string& path) override;
  void runInBackground(std::function<void()> job) override;
  void runOnMainThread(std::function<void()> block) override;
  void reloadTable() override;
  int selectedRow() override;
  void selectRow(int row) override;
  void setSaveEnabled(bool enabled) override;
  void setMessage(const std::string& text) override;
  void setMessageDetail(const std::string& detail) override;
  void showBusyProgress() override;
  void showProgress(std::uint64_t done, std::uint64_t total) override;
  void hideProgress() override;
  void quit() override;
  std::string rememberedFolder(PanelFolder panel) override;
  void rememberFolder(PanelFolder panel, const std::string& folder) override;

  // Runs an action of the window so that no exception leaves it into Qt: whatever escapes is
  // shown in an alert instead.
  void guarded(const std::function<void()>& action) noexcept;

 private:
  MainWindow& m_window;
  RenderTableModel* m_model = nullptr;
  QSettings m_settings;
};

}  // namespace quillmere
