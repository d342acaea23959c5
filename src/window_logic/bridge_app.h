#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "records/records.h"
#include "transfer/create_batch.h"
#include "window_logic/toolkit.h"

namespace quillmere {

// Runs one batch; createBatch on the real file system unless a test supplies its own.
using BatchRunner = std::function<BatchResult(const BatchRequest&, const BatchObserver&)>;

// The window's logic: the list of renders, their originals, the rules of the table and the save
// button, adding, pairing and saving. Everything here runs on the main thread; only the batch of
// a save runs in the background, on its own copy of the request. Renders are file locations
// (absolute, standardised paths); `originals` maps a render's path to its original's location.
class BridgeApp {
 public:
  static constexpr std::size_t kListLimit = kMostBatchPairs;

  explicit BridgeApp(Toolkit& toolkit, BatchRunner runner = {});
  BridgeApp(const BridgeApp&) = delete;
  BridgeApp& operator=(const BridgeApp&) = delete;
  // Asks every batch still running to stop; their reports are dropped.
  ~BridgeApp();

  const std::vector<std::string>& renders() const { return m_renders; }
  const std::map<std::string, std::string>& originals() const { return m_originals; }

  // The table's data source: one row per render; the text of one cell. `row` must be below
  // rowCount(). The "render" column shows the render's file name, every other column the file
  // name of its original or the prompt to choose one.
  std::size_t rowCount() const { return m_renders.size(); }
  std::string cellText(std::size_t row, std::string_view columnIdentifier) const;

  // How the source cell of a row is drawn (its text stays as cellText says): without an original,
  // with one of the render's base name, or with one whose base name differs (worth a second look).
  enum class SourceState { missing, sameName, otherName };
  SourceState sourceState(std::size_t row) const;

  // Reloads the table, enables saving only when every listed render has an original, and selects
  // the first row when there are renders and nothing is selected. Never changes the message line
  // or an existing selection.
  void refresh();

  // Files the desktop asked the application to open (paths as given; relative ones are taken
  // against the current directory). Every one goes through append.
  void openFiles(const std::vector<std::string>& paths);
  // The add button: a panel for renders, then append.
  void addRenders();
  // Examines at most the first 500 locations, one by one, then names every refused file in one
  // alert, under its reason (renders over 512 MiB, which no batch takes, among them);
  // lists the admitted ones not yet listed; keeps the list at 500 with one alert; refreshes, and
  // selects the first render it added (scrolled into view) and gives the table the keyboard.
  void append(const std::vector<std::string>& locations);
  // The choose button, a double click and Enter on a row: a panel for the selected render's
  // original, opening where the last original was chosen with the file of the render's base name
  // selected. One chosen file pairs the selected render and moves the selection on; several pair
  // every render still without an original with the one chosen file of its base name, and the
  // message line tells how many were paired and how many are left. A chosen original is checked
  // at once, as the batch would check it: one that is missing, unreadable or no regular file, or
  // that is one of the listed renders, is refused with an alert and pairs nothing.
  void chooseOriginal();
  // Delete, Backspace or the table's menu: takes the selected renders (one or several) and their
  // pairings off the list, as one step for undo. The only way a render leaves the list.
  void removeSelected();
  // Ctrl+Z: undoes the latest removal or pairing, one after another, the latest first. Removed
  // renders go back in their rows, with their originals, and the first of them is selected; a pairing (one chosen file,
  // or all that one choice of several paired by name) gives each render the original it had
  // before, or none, and selects the first of them.
  void undo();
  bool canUndo() const { return !m_history.empty(); }
  // The save button: asks for a destination and runs the batch in the background; the outcome
  // comes back on the main thread as a message and the folder shown, or as an alert. A folder
  // that cannot be written, read or searched is refused when chosen, with an alert naming it, and
  // the panel opens again.
  void save();

  // After a failed save whose failure lies with one pair, that pair's row stays marked until the
  // next save or a change to that row: the text of the failure's alert, or nothing for every
  // other row.
  std::optional<std::string> rowFault(std::size_t row) const;

  // After pairing several originals by name, why a render was left without one (no chosen file of
  // its name, or several: named); nothing once it is paired, removed, or the next such choice.
  std::optional<std::string> rowUnpairedReason(std::size_t row) const;
  // The same reason shortly, as the row itself shows it in place of the prompt to choose.
  std::optional<std::string> rowUnpairedReasonInRow(std::size_t row) const;

  // After pairing several originals by name, a render paired with a raw file whose camera JPEG or
  // HEIF of the same name was chosen too: says which were set aside; nothing for every other row,
  // and nothing once the row has another original.
  std::optional<std::string> rowPairingNote(std::size_t row) const;

  // F8: selects the next row after the selected one, around the end of the list, that still needs
  // work (no original, or marked by a failed save). Does nothing when no row does.
  void selectNextNeedingWork();

  // The request a save into `destination` sends: one pair per render in list order, both
  // external identifiers being the digest of the original's path. Every render needs an original.
  BatchRequest batchRequest(const std::string& destination) const;

  bool saving() const { return !m_saves.empty(); }
  // True when the application may end now. Otherwise, unless `ask` and the user answers the
  // toolkit's question by letting the saves go on, asks every running batch to stop, says so on
  // the message line, shows the progress as busy, and ends the application through the toolkit
  // once the last one has rolled back and reported; those reports show nothing but a batch that
  // was saved all the same. Asked once: while the saves roll back, nothing is asked again.
  // A save that ends while the question is open says so on the message line at once; once none is
  // left running, the question turns into one about quitting now, naming what each save became
  // (saved, failed and why), and its answer is final: quit (true, nothing left to stop) or stay,
  // with what the save's report would have shown besides (its folder, the row at fault).
  bool requestQuit(bool ask = true);
  // Whether the application is ending once its saves have rolled back.
  bool quitting() const { return m_quitting; }

 private:
  struct RunningSave {
    std::stop_source stop;
    BatchProgress progress;
  };
  // A removed render, where it stood and with the original it had.
  struct Removal {
    std::size_t row = 0;
    std::string render;
    std::optional<std::string> original;
  };
  // One step that Ctrl+Z can take back: the removals of one removal (in ascending rows), or the
  // pairings of one choice with the original each render had before (none when it had none).
  struct Step {
    std::vector<Removal> removals;
    std::vector<std::pair<std::string, std::optional<std::string>>> pairings;
  };
  // The pair a failed save found at fault: its render, and the failure's text.
  struct Fault {
    std::string render;
    std::string text;
  };

  bool everyRenderPaired() const;
  void pairByName(const std::vector<std::string>& originals);
  // Why `original` cannot be the original of a render, as an alert's text, or nothing.
  std::optional<std::string> originalRefusal(const std::string& original) const;
  // Pairs the render with the original; a mark of fault on it goes.
  void setOriginal(const std::string& render, const std::string& original);
  void clearFaultOf(const std::string& render);
  void remember(Step step);
  std::optional<std::string> originalOf(const std::string& render) const;
  void undoRemovals(const std::vector<Removal>& removals);
  void undoPairings(const Step& step);
  int rowOf(const std::string& render) const;
  bool isListed(const std::string& location) const;
  void setMessage(const std::string& text);
  // After a change to the list or its pairings: a count of an earlier choice gives way to the
  // initial text.
  void retirePairingCount();
  // Says on the message line what the change just made did, until the list changes again; not
  // while a save runs, whose message stays until it reports.
  void tellAction(const std::string& text);
  std::size_t unpairedCount() const;
  // Runs the batch of save `id` on a thread of the toolkit; its reports come back to the main
  // thread. Throws when no thread can be had.
  void startSave(std::uint64_t id, std::stop_token stop, BatchRequest request);
  void reportProgress(std::uint64_t save, const BatchProgress& progress);
  void reportSuccess(std::uint64_t save, const BatchResult& result);
  // `stopped` when the save ended because a stop was asked for, not for a fault.
  void reportFailure(std::uint64_t save, const std::string& text,
                     const std::optional<std::string>& renderAtFault, bool stopped);
  // Forgets a finished save; true when the application is quitting (and has been told to end
  // once no save is left).
  bool endSave(std::uint64_t save);
  void showProgress();
  // A save's outcome that came while the quit question was open: its line in the question, and
  // what its report shows besides once the user has chosen to stay. The question changes once no
  // save is left running.
  struct HeldOutcome {
    std::string line;
    std::function<void()> show;
    bool showWhenQuitting = false;
  };
  void hold(HeldOutcome outcome);
  // Shows the fault a failed save found: its pair's row marked and selected.
  void markFault(const std::string& text, const std::optional<std::string>& renderAtFault);

  Toolkit& m_toolkit;
  BatchRunner m_runner;
  std::vector<std::string> m_renders;
  std::map<std::string, std::string> m_originals;
  std::map<std::uint64_t, RunningSave> m_saves;
  std::vector<Step> m_history;  // latest last
  std::optional<Fault> m_fault;
  struct UnpairedReason {
    std::string text;
    std::string inRow;
  };
  std::map<std::string, UnpairedReason> m_unpairedReasons;  // by render
  // By render: the original pairing by name chose, and the note saying what it set aside.
  std::map<std::string, std::pair<std::string, std::string>> m_pairingNotes;
  std::uint64_t m_nextSave = 0;
  bool m_quitting = false;
  // The quit question is open, and the outcomes of the saves that ended meanwhile.
  bool m_asking = false;
  std::vector<HeldOutcome> m_held;
  // The message line tells the outcome of the last choice of several originals; it no longer holds
  // once the list or its pairings change again.
  bool m_pairingCountShown = false;
  // Blocks posted back from a batch hold a weak reference and do nothing once this is gone.
  std::shared_ptr<const int> m_lifetime = std::make_shared<const int>(0);
};

}  // namespace quillmere
