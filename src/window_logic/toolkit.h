#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// A choice of file types a panel offers: its name, and the extensions it shows (lower case,
// without the dot); no extensions shows every file.
struct PanelFilter {
  std::string name;
  std::vector<std::string> extensions;
};

// What a modal open panel offers. The defaults are the plain panel: one existing file of any type.
struct OpenPanel {
  bool chooseFolders = false;  // folders instead of files
  bool multipleSelection = false;
  bool canCreateFolders = false;
  std::vector<std::string> extensions;  // lower case, without the dot; empty means any file
  std::string message;                  // shown to the user while the panel is open
  std::string folder;                   // where the panel opens; empty leaves it to the toolkit
  std::string preselected;              // a file in `folder` to select at first, or empty
  // Named choices of file types, in the order offered, instead of `extensions`; the one at
  // `initialFilter` is in force when the panel opens.
  std::vector<PanelFilter> filters;
  std::size_t initialFilter = 0;
};

// The question asked on quitting while saves run: its text and its two answers.
struct QuitQuestion {
  std::string text;
  std::string quit;  // the answer that quits
  std::string stay;  // the answer that keeps the window, also Escape and closing the question
};

// The panels that remember, each on its own, the folder they were last left in.
enum class PanelFolder { renders, originals, destination };

// The desktop toolkit as BridgeApp sees it. Every operation is called on the main thread, except
// runOnMainThread, which is the one way back from a background job and may be called from any
// thread. A toolkit outlives every job it runs.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Runs the panel modally. The chosen absolute paths in the panel's order, or nothing when the
  // user cancelled.
  virtual std::optional<std::vector<std::string>> runOpenPanel(const OpenPanel& panel) = 0;
  // A modal alert with this text and one button; returns when the user has dismissed it.
  virtual void runAlert(const std::string& text) = 0;
  // Asks the desktop's file manager to show this folder selected in its parent.
  virtual void showFolder(const std::string& path) = 0;

  // Runs the job off the main thread, soon, on a thread that nothing else of the toolkit waits
  // for (a long job never holds up painting, dialogs or other jobs). The job must not touch any
  // control. Throws when no thread can be had; the job has then not run.
  virtual void runInBackground(std::function<void()> job) = 0;
  // Runs the block later on the main thread. Safe to call from any thread.
  virtual void runOnMainThread(std::function<void()> block) = 0;

  // The table asks BridgeApp again for its row count and for every cell it shows. The selection
  // stays where it was.
  virtual void reloadTable() = 0;
  // The selected row, or a negative number when no row is selected. Of several selected rows, the
  // one with the keyboard focus, or else the first.
  virtual int selectedRow() = 0;
  // Every selected row, in ascending order (Shift and Ctrl select several).
  virtual std::vector<int> selectedRows() = 0;
  // Makes this row the only selected row and scrolls it into view.
  virtual void selectRow(int row) = 0;
  // Gives the table the keyboard, on its selected row, when the control that added the rows has
  // it.
  virtual void focusTable() = 0;
  virtual void setSaveEnabled(bool enabled) = 0;
  // Replaces the message line's text; a detail set earlier is dropped with it.
  virtual void setMessage(const std::string& text) = 0;
  // Where the user can read more about the message line, such as the path of a new batch folder
  // (a tooltip on the desktop).
  virtual void setMessageDetail(const std::string& detail) = 0;

  // The progress bar, in a place of its own: shown as busy (no known amount), shown with an
  // amount of work done out of a total (bytes, for how far the bar is filled) and the files done
  // out of all (the figure it shows, "3/6"), or hidden.
  virtual void showBusyProgress() = 0;
  virtual void showProgress(std::uint64_t done, std::uint64_t total, std::size_t filesDone,
                            std::size_t filesTotal) = 0;
  virtual void hideProgress() = 0;

  // Asks, modally, when the user wants to quit while saves run: true for the quit button, false
  // for the other one, Escape or the question closed. While it is open, BridgeApp may change what
  // it asks (the last save has ended meanwhile) through changeQuitQuestion; each answer keeps its
  // place, so a click meant for the old form means the same in the new one.
  virtual bool askToQuit(const QuitQuestion& question) = 0;
  // The question askToQuit shows now asks this instead; nothing when it is not open.
  virtual void changeQuitQuestion(const QuitQuestion& question) = 0;

  // Ends the application's event loop.
  virtual void quit() = 0;

  // The folder a panel was last left in, kept across launches with the toolkit's settings; empty
  // when there is none yet.
  virtual std::string rememberedFolder(PanelFolder panel) = 0;
  virtual void rememberFolder(PanelFolder panel, const std::string& folder) = 0;
};

}  // namespace quillmere
