#include "window_logic/bridge_app.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "transfer/pair_reads.h"
#include "window_logic/name_pairing.h"
#include "window_logic/save_flow.h"
#include "window_logic/window_paths.h"
#include "window_logic/window_texts.h"
#include "window_logic/window_voice.h"

namespace quillmere {

using texts::joined;

namespace {

constexpr std::string_view kProvider = "CAPTURE_ONE";
constexpr std::string_view kCatalogId = "quillmere-manual-capture-one-v1";

std::string refusalText(const std::string& description, const std::string& path) {
  return joined({description, "\n", fileName(path)});
}

// The files one add refused, by reason in the order each reason first came, each named under its
// reason: "reason\nname\nname", a blank line before the next reason.
class Refusals {
 public:
  void add(std::string reason, const std::string& location) {
    auto group = std::find_if(m_groups.begin(), m_groups.end(),
                              [&](const auto& g) { return g.first == reason; });
    if (group == m_groups.end()) {
      m_groups.emplace_back(std::move(reason), std::vector<std::string>{});
      group = std::prev(m_groups.end());
    }
    group->second.push_back(fileName(location));
  }
  bool empty() const { return m_groups.empty(); }
  std::string alert() const {
    std::string text;
    for (const auto& [reason, names] : m_groups) {
      if (!text.empty()) text += "\n\n";
      text += reason;
      for (const auto& name : names) {
        text += '\n';
        text += name;
      }
    }
    return text;
  }

 private:
  std::vector<std::pair<std::string, std::vector<std::string>>> m_groups;
};

std::vector<std::string> locations(const std::vector<std::string>& paths) {
  std::vector<std::string> result;
  result.reserve(paths.size());
  for (const auto& path : paths) result.push_back(locationOrAsGiven(path));
  return result;
}

}  // namespace

BridgeApp::BridgeApp(Toolkit& toolkit, BatchRunner runner)
    : m_toolkit(toolkit), m_runner(runner ? std::move(runner) : BatchRunner(runCreateBatch)) {}

BridgeApp::~BridgeApp() {
  for (auto& [id, running] : m_saves) running.stop.request_stop();
}

std::string BridgeApp::cellText(std::size_t row, std::string_view columnIdentifier) const {
  const std::string& render = m_renders.at(row);
  if (columnIdentifier == texts::kRenderColumn) return fileName(render);
  const auto original = m_originals.find(render);
  if (original == m_originals.end()) return std::string(texts::kNoOriginal);
  return fileName(original->second);
}

BridgeApp::SourceState BridgeApp::sourceState(std::size_t row) const {
  const std::string& render = m_renders.at(row);
  const auto original = m_originals.find(render);
  if (original == m_originals.end()) return SourceState::missing;
  return baseName(original->second) == baseName(render) ? SourceState::sameName
                                                        : SourceState::otherName;
}

bool BridgeApp::isListed(const std::string& location) const {
  return std::find(m_renders.begin(), m_renders.end(), location) != m_renders.end();
}

void BridgeApp::setMessage(const std::string& text) {
  m_pairingCountShown = false;
  m_toolkit.setMessage(text);
}

void BridgeApp::retirePairingCount() {
  if (m_pairingCountShown) setMessage(std::string(texts::kInitialMessage));
}

void BridgeApp::tellAction(const std::string& text) {
  if (saving()) return;
  setMessage(text);
  m_pairingCountShown = true;
}

std::size_t BridgeApp::unpairedCount() const {
  return static_cast<std::size_t>(std::count_if(
      m_renders.begin(), m_renders.end(), [&](const auto& r) { return !m_originals.contains(r); }));
}

bool BridgeApp::everyRenderPaired() const {
  return !m_renders.empty() && std::all_of(m_renders.begin(), m_renders.end(),
                                           [&](const auto& r) { return m_originals.contains(r); });
}

void BridgeApp::refresh() {
  m_toolkit.reloadTable();
  m_toolkit.setSaveEnabled(everyRenderPaired());
  if (!m_renders.empty() && m_toolkit.selectedRow() < 0) m_toolkit.selectRow(0);
}

void BridgeApp::openFiles(const std::vector<std::string>& paths) { append(locations(paths)); }

void BridgeApp::addRenders() {
  OpenPanel panel;
  panel.multipleSelection = true;
  panel.extensions.assign(texts::kRenderExtensions.begin(), texts::kRenderExtensions.end());
  panel.message = texts::kAddPanelMessage;
  panel.folder = m_toolkit.rememberedFolder(PanelFolder::renders);
  const auto chosen = m_toolkit.runOpenPanel(panel);
  if (!chosen) return;
  const std::vector<std::string> chosenLocations = locations(*chosen);
  if (!chosenLocations.empty()) {
    m_toolkit.rememberFolder(PanelFolder::renders, parentFolder(chosenLocations.front()));
  }
  append(chosenLocations);
}

void BridgeApp::append(const std::vector<std::string>& locations) {
  const std::size_t examined = std::min(locations.size(), kListLimit);
  const std::size_t listedBefore = m_renders.size();
  std::optional<std::size_t> firstAdded;
  // Every file refused, by reason, in one alert once all are examined: one alert after another,
  // each with the same sentence, says less than one that names them all.
  Refusals refused;
  for (std::size_t i = 0; i < examined; ++i) {
    const std::string& location = locations[i];
    // Admission comes first: a listed file that has become unreadable or too large is refused
    // again, while its entry stays.
    try {
      // Too large for any batch, refused now: a batch would refuse them one save at a time.
      if (admittedStatus(location).size > kLargestRender) {
        refused.add(std::string(texts::kRenderTooLarge), location);
        continue;
      }
      imageInfo(location);
    } catch (...) {
      refused.add(texts::inWindowVoice(std::current_exception()), location);
      continue;
    }
    if (!isListed(location)) {
      if (!firstAdded) firstAdded = m_renders.size();
      m_renders.push_back(location);
    }
  }
  if (!refused.empty()) m_toolkit.runAlert(refused.alert());
  if (m_renders.size() > kListLimit) {
    m_renders.resize(kListLimit);
    if (firstAdded && *firstAdded >= kListLimit) firstAdded.reset();
    m_toolkit.runAlert(std::string(texts::kLimitAlert));
  }
  if (m_renders.size() != listedBefore) retirePairingCount();
  refresh();
  // What was just added is what the user looks at next: its first file, in sight, with the
  // keyboard, so that Enter chooses its original rather than opening the add panel again.
  if (firstAdded) {
    m_toolkit.selectRow(static_cast<int>(*firstAdded));
    m_toolkit.focusTable();
  }
}

void BridgeApp::chooseOriginal() {
  const int row = m_toolkit.selectedRow();
  if (row < 0 || static_cast<std::size_t>(row) >= m_renders.size()) return;
  const std::string render = m_renders[static_cast<std::size_t>(row)];

  OpenPanel panel;
  panel.multipleSelection = true;
  panel.message = joined({texts::kChoosePanelBefore, fileName(render), texts::kChoosePanelAfter});
  // Originals of one shoot share a folder: the panel opens where the last one was chosen, or
  // beside the render before any was.
  panel.folder = m_toolkit.rememberedFolder(PanelFolder::originals);
  if (panel.folder.empty()) panel.folder = parentFolder(render);
  panel.preselected = originalByName(panel.folder, render,
                                     [this](const std::string& path) { return isListed(path); });
  // Raw files first: a card holds the camera's JPEGs beside them, which are not the originals.
  // A suggestion that is no raw file opens on every file, so that it is in sight.
  panel.filters = {
      {std::string(texts::kRawFilesFilter), {kRawExtensions.begin(), kRawExtensions.end()}},
      {std::string(texts::kAllFilesFilter), {}}};
  if (!panel.preselected.empty() && !isRaw(panel.preselected)) panel.initialFilter = 1;
  const auto chosen = m_toolkit.runOpenPanel(panel);
  if (!chosen || chosen->empty()) return;
  const std::vector<std::string> originals = locations(*chosen);
  m_toolkit.rememberFolder(PanelFolder::originals, parentFolder(originals.front()));

  if (originals.size() > 1) {
    pairByName(originals);
    return;
  }
  // Checked now rather than at save: a slip is easiest to mend while the panel is still in mind.
  if (const auto refusal = originalRefusal(originals.front())) {
    m_toolkit.runAlert(*refusal);
    return;
  }
  remember(Step{{}, {{render, originalOf(render)}}});
  setOriginal(render, originals.front());
  retirePairingCount();
  tellAction(texts::pairedMessage(fileName(render), fileName(originals.front()), unpairedCount()));
  refresh();
  const auto next = static_cast<std::size_t>(row) + 1;
  if (next < m_renders.size()) m_toolkit.selectRow(static_cast<int>(next));
}

// Several originals chosen at once: each goes to the render without an original whose base name
// is its own, when it is the only chosen file of that name. Sidecars and listed renders are never
// originals; a render with an earlier choice keeps it.
void BridgeApp::pairByName(const std::vector<std::string>& originals) {
  const auto byName =
      originalsByBaseName(originals, [this](const std::string& path) { return isListed(path); });
  std::size_t paired = 0;
  std::vector<std::string> refused;
  m_unpairedReasons.clear();
  std::vector<std::pair<std::string, std::optional<std::string>>> pairings;
  for (const auto& render : m_renders) {
    if (m_originals.contains(render)) continue;
    const auto named = byName.find(baseName(render));
    if (named == byName.end()) {
      m_unpairedReasons[render] = {std::string(texts::kNoNameMatch),
                                   std::string(texts::kNoNameMatchInRow)};
      continue;
    }
    const auto match = originalAmong(named->second);
    if (!match) {
      std::string names;
      for (const auto& candidate : named->second) {
        if (!names.empty()) names += "、";
        names += fileName(candidate);
      }
      m_unpairedReasons[render] = {
          joined({texts::kSeveralNameMatchesBefore, names, texts::kSeveralNameMatchesAfter}),
          joined({texts::kSeveralNameMatchesInRow, names})};
      continue;
    }
    const std::string& original = match->original;
    if (std::find(refused.begin(), refused.end(), original) != refused.end()) continue;
    // Each original that would pair is checked as a single choice is; one refused leaves its
    // render waiting, with an alert of its own.
    if (const auto refusal = originalRefusal(original)) {
      refused.push_back(original);
      m_toolkit.runAlert(*refusal);
      continue;
    }
    pairings.emplace_back(render, std::nullopt);
    setOriginal(render, original);
    if (!match->setAside.empty()) {
      std::string names;
      for (const auto& file : match->setAside) {
        if (!names.empty()) names += "、";
        names += fileName(file);
      }
      m_pairingNotes[render] = {original,
                                joined({texts::kRawPreferredBefore, names, texts::kRawPreferredAfter})};
    }
    ++paired;
  }
  if (!pairings.empty()) remember(Step{{}, std::move(pairings)});
  refresh();
  const auto unpaired = std::find_if(m_renders.begin(), m_renders.end(),
                                     [&](const auto& r) { return !m_originals.contains(r); });
  const auto left = static_cast<std::size_t>(std::count_if(
      unpaired, m_renders.end(), [&](const auto& r) { return !m_originals.contains(r); }));
  setMessage(texts::pairedByNameMessage(paired, left));
  m_pairingCountShown = true;
  // The next render that still needs its original is ready for the next choice.
  if (unpaired != m_renders.end()) {
    m_toolkit.selectRow(static_cast<int>(unpaired - m_renders.begin()));
  }
}

std::optional<std::string> BridgeApp::originalRefusal(const std::string& original) const {
  if (isListed(original)) return refusalText(std::string(texts::kOriginalIsRender), original);
  try {
    // The batch's own admission of an original, and an open for reading, which it needs too.
    regularFile(original);
    static_cast<void>(posixFileSystem().openForReading(original));
  } catch (...) {
    return refusalText(texts::inWindowVoice(std::current_exception()), original);
  }
  return std::nullopt;
}

void BridgeApp::setOriginal(const std::string& render, const std::string& original) {
  m_originals.insert_or_assign(render, original);
  m_unpairedReasons.erase(render);
  clearFaultOf(render);
}

std::optional<std::string> BridgeApp::originalOf(const std::string& render) const {
  const auto original = m_originals.find(render);
  if (original == m_originals.end()) return std::nullopt;
  return original->second;
}

std::optional<std::string> BridgeApp::rowUnpairedReason(std::size_t row) const {
  if (row >= m_renders.size()) return std::nullopt;
  const auto reason = m_unpairedReasons.find(m_renders[row]);
  if (reason == m_unpairedReasons.end()) return std::nullopt;
  return reason->second.text;
}

std::optional<std::string> BridgeApp::rowUnpairedReasonInRow(std::size_t row) const {
  if (row >= m_renders.size()) return std::nullopt;
  const auto reason = m_unpairedReasons.find(m_renders[row]);
  if (reason == m_unpairedReasons.end()) return std::nullopt;
  return reason->second.inRow;
}

std::optional<std::string> BridgeApp::rowPairingNote(std::size_t row) const {
  if (row >= m_renders.size()) return std::nullopt;
  const auto note = m_pairingNotes.find(m_renders[row]);
  // Kept across undo and removal: it holds exactly while the row has the original it speaks of.
  if (note == m_pairingNotes.end() || originalOf(note->first) != note->second.first) {
    return std::nullopt;
  }
  return note->second.second;
}

void BridgeApp::selectNextNeedingWork() {
  const std::size_t count = m_renders.size();
  const int selected = m_toolkit.selectedRow();
  const std::size_t start = selected < 0 ? 0 : static_cast<std::size_t>(selected) + 1;
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t row = (start + step) % count;
    if (!m_originals.contains(m_renders[row]) || rowFault(row)) {
      m_toolkit.selectRow(static_cast<int>(row));
      return;
    }
  }
}

void BridgeApp::clearFaultOf(const std::string& render) {
  if (m_fault && m_fault->render == render) m_fault.reset();
}

int BridgeApp::rowOf(const std::string& render) const {
  const auto at = std::find(m_renders.begin(), m_renders.end(), render);
  return at == m_renders.end() ? -1 : static_cast<int>(at - m_renders.begin());
}

std::optional<std::string> BridgeApp::rowFault(std::size_t row) const {
  if (!m_fault || row >= m_renders.size() || m_renders[row] != m_fault->render) return std::nullopt;
  return m_fault->text;
}

BatchRequest BridgeApp::batchRequest(const std::string& destination) const {
  BatchRequest request{std::string(kProvider), std::string(kCatalogId), destination, {}};
  request.items.reserve(m_renders.size());
  for (const auto& render : m_renders) {
    const std::string& original = m_originals.at(render);
    const std::string id = digest(original);
    request.items.push_back(Pair{original, render, id, id});
  }
  return request;
}

}  // namespace quillmere
