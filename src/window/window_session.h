#pragma once

#include <QTimer>
#include <string>
#include <vector>

#include "window_logic/bridge_app.h"
#include "window/comparison_view.h"
#include "window/main_window.h"
#include "window/pair_preview.h"
#include "window/qt_toolkit.h"
#include "window/render_table_model.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

// One run of the window: the window, the toolkit over it, BridgeApp and the table's model, wired
// together. Needs a QApplication. Ending the session asks every running save to stop and waits
// for its roll-back, so no staging folder outlives the process.
class WindowSession {
 public:
  // `openedFiles` are the files the desktop asked the application to open; they are added once
  // the window is shown and the event loop runs. `runner` replaces createBatch in tests.
  explicit WindowSession(std::vector<std::string> openedFiles = {}, BatchRunner runner = {});
  WindowSession(const WindowSession&) = delete;
  WindowSession& operator=(const WindowSession&) = delete;
  ~WindowSession();

  // Centres and shows the window in front, refreshes, then adds the opened files.
  void show();

  // A request to end that does not come from the window (a signal): open panels and alerts are
  // dismissed, then it goes the way of the quit menu item, a running save included.
  void quitFromOutside();

  // Files a later launch of the program handed over (none: it only wants the window): the window
  // comes to the front and adds them as it adds those opened with it, once no panel or alert of
  // its own is open.
  void openFromOutside(std::vector<std::string> files);

  MainWindow& window() { return m_window; }
  QtToolkit& toolkit() { return m_toolkit; }
  BridgeApp& app() { return m_app; }
  ThumbnailCache& pictures() { return m_pictures; }
  ThumbnailCache& largePictures() { return m_largePictures; }
  PairPreview& preview() { return *m_preview; }
  ComparisonView& comparison() { return *m_comparison; }
  RenderTableModel& model() { return m_model; }

 private:
  // The wiring of the window's parts to BridgeApp, the pictures and one another.
  // The focused row's frame, the comparison pictures made ahead, the message line's note.
  void wireSelection();
  // The buttons, keys, menu items and drops to BridgeApp's actions, and a hook's failure to an alert.
  void wireActions();
  // The larger look at the row under a resting pointer.
  void wireLook();
  // The comparison view: its rows, its pairs and what is done in it.
  void wireComparison();
  // Whether the window may close now, and what it does while a save rolls back.
  void wireClosing();

  // The larger look at a row's pair, beside the list level with the row.
  void showPreview(int row);
  // The comparison view at this row.
  void compare(int row);
  // The files later launches handed over, added once no panel or alert is open.
  void addHandedFiles();

  // Destroyed in reverse order: the model, the pictures (pending ones dropped, those being made
  // waited for), BridgeApp, then the toolkit (its jobs waited for, queued blocks dying with it),
  // and the window last.
  MainWindow m_window;
  QtToolkit m_toolkit;
  BridgeApp m_app;
  // One set of picture workers for both caches, outliving them.
  std::shared_ptr<PictureWorkers> m_pictureWorkers;
  ThumbnailCache m_pictures;
  // The comparison view's: few, large, on threads of their own so the table's never delay them.
  ThumbnailCache m_largePictures;
  RenderTableModel m_model;
  // Owned by the window: the first a tooltip beside it, the second a window above it.
  PairPreview* m_preview;
  ComparisonView* m_comparison;
  // How long the selection rests on a row before its comparison pictures are made ahead.
  static constexpr int kSelectionRestMs = 400;
  QTimer m_selectionRest;
  // While a tooltip saying why a row waits (or what a failed save found) shows, the look at that
  // row waits for it to go, asking again at each timeout; the row it waits for.
  QTimer m_previewWait;
  int m_previewWaitRow = -1;
  std::vector<std::string> m_openedFiles;
  std::vector<std::string> m_handedFiles;
  static constexpr int kModalRecheckMs = 250;
};

}  // namespace quillmere
