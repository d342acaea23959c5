// BridgeApp's removals and their undoing, and the undoing of pairings: the list's steps back.

#include <algorithm>
#include <string>
#include <vector>

#include "window_logic/bridge_app.h"
#include "window_logic/window_texts.h"

namespace quillmere {

void BridgeApp::removeSelected() {
  std::vector<int> rows = m_toolkit.selectedRows();
  std::erase_if(rows, [this](int row) {
    return row < 0 || static_cast<std::size_t>(row) >= m_renders.size();
  });
  if (rows.empty()) return;
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  Step step;
  for (const int row : rows) {
    const std::string& render = m_renders[static_cast<std::size_t>(row)];
    step.removals.push_back(Removal{static_cast<std::size_t>(row), render, originalOf(render)});
  }
  // From the last row up, so that each row still stands where it was found.
  for (auto removal = step.removals.rbegin(); removal != step.removals.rend(); ++removal) {
    clearFaultOf(removal->render);
    m_unpairedReasons.erase(removal->render);
    m_originals.erase(removal->render);
    m_renders.erase(m_renders.begin() + static_cast<std::ptrdiff_t>(removal->row));
  }
  const std::size_t removed = step.removals.size();
  remember(std::move(step));
  retirePairingCount();
  tellAction(texts::removedMessage(removed));
  refresh();
  // The render that took the first removed one's place is selected, or the new last one.
  if (!m_renders.empty()) {
    m_toolkit.selectRow(std::min(rows.front(), static_cast<int>(m_renders.size()) - 1));
  }
}

void BridgeApp::remember(Step step) {
  // As many steps can be undone as the list can hold renders.
  if (m_history.size() >= kListLimit) m_history.erase(m_history.begin());
  m_history.push_back(std::move(step));
}

void BridgeApp::undo() {
  if (m_history.empty()) return;
  const Step step = std::move(m_history.back());
  m_history.pop_back();
  if (!step.removals.empty()) {
    undoRemovals(step.removals);
  } else {
    undoPairings(step);
  }
}

void BridgeApp::undoRemovals(const std::vector<Removal>& removals) {
  // Each goes back where it stood, in ascending rows, so the later rows find theirs again. One added
  // again since stays where it is now, with whatever pairing it has now.
  int first = -1;
  bool full = false;
  std::size_t restored = 0;
  for (const Removal& removal : removals) {
    int row = rowOf(removal.render);
    if (row < 0) {
      if (m_renders.size() >= kListLimit) {
        full = true;
        continue;
      }
      row = static_cast<int>(std::min(removal.row, m_renders.size()));
      m_renders.insert(m_renders.begin() + row, removal.render);
      if (removal.original) m_originals.insert_or_assign(removal.render, *removal.original);
      ++restored;
    }
    if (first < 0 || row < first) first = row;
  }
  retirePairingCount();
  if (restored > 0) tellAction(texts::restoredMessage(restored));
  refresh();
  if (first >= 0) m_toolkit.selectRow(first);
  if (full) m_toolkit.runAlert(std::string(texts::kLimitAlert));
}

void BridgeApp::undoPairings(const Step& step) {
  // A render removed since keeps nothing to undo; the others get back what they had.
  int first = -1;
  std::size_t undone = 0;
  for (const auto& [render, previous] : step.pairings) {
    const int row = rowOf(render);
    if (row < 0) continue;
    if (previous) {
      m_originals.insert_or_assign(render, *previous);
    } else {
      m_originals.erase(render);
    }
    clearFaultOf(render);
    ++undone;
    if (first < 0 || row < first) first = row;
  }
  retirePairingCount();
  if (undone > 0) tellAction(texts::unpairedMessage(undone));
  refresh();
  if (first >= 0) m_toolkit.selectRow(first);
}

}  // namespace quillmere
