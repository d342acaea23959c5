#include "ui/bridge_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "ui/window_texts.h"

namespace quillmere {

namespace {

constexpr std::string_view kProvider = "CAPTURE_ONE";
constexpr std::string_view kCatalogId = "quillmere-manual-capture-one-v1";

std::string joined(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const auto piece : pieces) text += piece;
  return text;
}

std::string refusalText(const std::string& description, const std::string& path) {
  return joined({description, "\n", fileName(path)});
}

// A location for a path handed over by the desktop. When the current directory cannot be read,
// a relative path stays as it is and is refused when it is examined.
std::string locationOrAsGiven(const std::string& path) {
  try {
    return fileLocation(path);
  } catch (const std::exception&) {
    return path;
  }
}

std::vector<std::string> locations(const std::vector<std::string>& paths) {
  std::vector<std::string> result;
  result.reserve(paths.size());
  for (const auto& path : paths) result.push_back(locationOrAsGiven(path));
  return result;
}

BatchResult runCreateBatch(const BatchRequest& request, const BatchObserver& observer) {
  return createBatch(request, posixFileSystem(), &observer);
}

// Progress is posted to the main thread only when the bar would move by a tenth of a percent or
// a new item starts, so a large render does not flood the main thread with updates.
std::uint64_t perMille(const BatchProgress& progress) {
  if (progress.bytesTotal == 0) return 0;
  return std::min<std::uint64_t>(progress.bytesDone, progress.bytesTotal) * 1000 /
         progress.bytesTotal;
}

// The file a failed batch names under its failure: the original or the render of the failing
// pair, as createBatch reported it, or the stored file the medium did not hold; none for any other
// failure of the destination or the batch as a whole.
std::optional<std::string> fileAtFault(const std::optional<BatchFailureSite>& site,
                                       const BatchRequest& request) {
  // A file of the batch that its medium did not hold as written: named by where it would have
  // been saved, so the user knows which disk or share to look at.
  if (site && site->storedFile) return site->storedFile;
  if (!site || !site->item || *site->item >= request.items.size()) return std::nullopt;
  const Pair& pair = request.items[*site->item];
  switch (site->subject) {
    case BatchSubject::original:
      return pair.sourcePath;
    case BatchSubject::render:
      return pair.renderPath;
    case BatchSubject::none:
      break;
  }
  return std::nullopt;
}

// Why a chosen destination cannot take a batch, as an alert's text naming the folder, or nothing:
// the batch needs a folder it can list, search and create its staging folder in, so one that
// cannot be written, read or searched is refused when it is chosen rather than when it is saved.
std::optional<std::string> destinationRefusal(const std::string& folder) {
  const auto refusal = [](const std::string& reason) {
    return joined({reason, "\n", kChooseFolderAgainMessage});
  };
  try {
    if (!posixFileSystem().status(folder).isDirectory) {
      return refusal(systemErrorText(ENOTDIR, "write", folder));
    }
  } catch (...) {
    return refusal(describe(std::current_exception()));
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
    return refusal(systemErrorText(errno, "write", folder));
  }
  return std::nullopt;
}

std::string parentFolder(const std::string& location) {
  const auto slash = location.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : location.substr(0, slash);
}

std::string asciiLowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A file name without its last extension, ignoring case, for matching a render with its
// original: exports keep the original's base name ("DSC_4001.jpg" for "DSC_4001.CR3").
std::string baseName(std::string_view path) {
  std::string name = fileName(path);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return asciiLowerCase(std::move(name));
}

// Files that travel beside a photo and describe it (edits, metadata, thumbnails) but are never
// the photo itself.
bool isSidecar(std::string_view path) {
  static constexpr std::string_view kSidecars[] = {"xmp", "xml", "dop", "pp3", "cos", "cot",
                                                   "cof", "aae", "thm", "on1", "json"};
  const std::string name = fileName(path);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const std::string extension = asciiLowerCase(name.substr(dot + 1));
  return std::find(std::begin(kSidecars), std::end(kSidecars), extension) != std::end(kSidecars);
}

// The one regular file in `folder` that can be the original of `render` by its name, or empty
// when there is none or more than one. A folder that cannot be read offers none; this is only a
// suggestion in a panel.
std::string originalByName(const std::string& folder, const std::string& render,
                           const std::function<bool(const std::string&)>& excluded) {
  namespace fs = std::filesystem;
  const std::string wanted = baseName(render);
  std::string found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string path = appendComponent(folder, it->path().filename().string());
    if (baseName(path) != wanted || isSidecar(path) || excluded(path)) continue;
    std::error_code kindError;
    if (!it->is_regular_file(kindError)) continue;
    if (!found.empty()) return {};
    found = path;
  }
  return error ? std::string() : found;
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
  for (std::size_t i = 0; i < examined; ++i) {
    const std::string& location = locations[i];
    // Admission comes first: a listed file that has become unreadable is refused again, while
    // its entry stays.
    std::optional<std::string> refusal;
    try {
      regularFile(location);
      imageInfo(location);
    } catch (...) {
      refusal = refusalText(describe(std::current_exception()), location);
    }
    if (refusal) {
      m_toolkit.runAlert(*refusal);
      continue;
    }
    if (!isListed(location)) {
      if (!firstAdded) firstAdded = m_renders.size();
      m_renders.push_back(location);
    }
  }
  if (m_renders.size() > kListLimit) {
    m_renders.resize(kListLimit);
    if (firstAdded && *firstAdded >= kListLimit) firstAdded.reset();
    m_toolkit.runAlert(std::string(texts::kLimitAlert));
  }
  if (m_renders.size() != listedBefore) retirePairingCount();
  refresh();
  // What was just added is what the user looks at next: its first file, in sight.
  if (firstAdded) m_toolkit.selectRow(static_cast<int>(*firstAdded));
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
  setOriginal(render, originals.front());
  retirePairingCount();
  refresh();
  const auto next = static_cast<std::size_t>(row) + 1;
  if (next < m_renders.size()) m_toolkit.selectRow(static_cast<int>(next));
}

// Several originals chosen at once: each goes to the render without an original whose base name
// is its own, when it is the only chosen file of that name. Sidecars and listed renders are never
// originals; a render with an earlier choice keeps it.
void BridgeApp::pairByName(const std::vector<std::string>& originals) {
  std::map<std::string, std::vector<std::string>> byName;
  for (const auto& original : originals) {
    if (isSidecar(original) || isListed(original)) continue;
    auto& named = byName[baseName(original)];
    if (std::find(named.begin(), named.end(), original) == named.end()) named.push_back(original);
  }
  std::size_t paired = 0;
  std::vector<std::string> refused;
  for (const auto& render : m_renders) {
    if (m_originals.contains(render)) continue;
    const auto named = byName.find(baseName(render));
    if (named == byName.end() || named->second.size() != 1) continue;
    const std::string& original = named->second.front();
    if (std::find(refused.begin(), refused.end(), original) != refused.end()) continue;
    // Each original that would pair is checked as a single choice is; one refused leaves its
    // render waiting, with an alert of its own.
    if (const auto refusal = originalRefusal(original)) {
      refused.push_back(original);
      m_toolkit.runAlert(*refusal);
      continue;
    }
    setOriginal(render, original);
    ++paired;
  }
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
    return refusalText(describe(std::current_exception()), original);
  }
  return std::nullopt;
}

void BridgeApp::setOriginal(const std::string& render, const std::string& original) {
  m_originals.insert_or_assign(render, original);
  clearFaultOf(render);
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

void BridgeApp::removeSelected() {
  const int row = m_toolkit.selectedRow();
  if (row < 0 || static_cast<std::size_t>(row) >= m_renders.size()) return;
  const auto at = m_renders.begin() + row;
  Removal removal{static_cast<std::size_t>(row), *at, std::nullopt};
  if (const auto original = m_originals.find(*at); original != m_originals.end()) {
    removal.original = original->second;
  }
  // As many removals can be undone as the list can hold renders.
  if (m_removed.size() >= kListLimit) m_removed.erase(m_removed.begin());
  m_removed.push_back(std::move(removal));
  clearFaultOf(*at);
  m_originals.erase(*at);
  m_renders.erase(at);
  retirePairingCount();
  refresh();
  // The render that took the removed one's place is selected, or the new last one.
  if (!m_renders.empty()) {
    m_toolkit.selectRow(std::min(row, static_cast<int>(m_renders.size()) - 1));
  }
}

void BridgeApp::undoRemoval() {
  if (m_removed.empty()) return;
  const Removal removal = std::move(m_removed.back());
  m_removed.pop_back();
  // Added again since: it is shown where it is now, with whatever pairing it has now.
  if (const int listed = rowOf(removal.render); listed >= 0) {
    m_toolkit.selectRow(listed);
    return;
  }
  if (m_renders.size() >= kListLimit) {
    m_toolkit.runAlert(std::string(texts::kLimitAlert));
    return;
  }
  const std::size_t row = std::min(removal.row, m_renders.size());
  m_renders.insert(m_renders.begin() + static_cast<std::ptrdiff_t>(row), removal.render);
  if (removal.original) m_originals.insert_or_assign(removal.render, *removal.original);
  retirePairingCount();
  refresh();
  m_toolkit.selectRow(static_cast<int>(row));
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

void BridgeApp::save() {
  OpenPanel panel;
  panel.chooseFolders = true;
  panel.canCreateFolders = true;
  panel.message = texts::kDestinationPanelMessage;
  // A batch belongs near the renders it carries, never among the originals.
  panel.folder = m_toolkit.rememberedFolder(PanelFolder::destination);
  if (panel.folder.empty() && !m_renders.empty()) panel.folder = parentFolder(m_renders.front());
  std::string destination;
  for (;;) {
    const auto chosen = m_toolkit.runOpenPanel(panel);
    if (!chosen || chosen->empty()) return;
    destination = locationOrAsGiven(chosen->front());
    const auto refusal = destinationRefusal(destination);
    if (!refusal) break;
    // Refused now, naming the folder, rather than failing later under a hidden staging name;
    // the panel opens again where it opened before.
    m_toolkit.runAlert(*refusal);
  }
  m_toolkit.rememberFolder(PanelFolder::destination, destination);
  // The save button is enabled only for a fully paired list; should the list have changed while
  // the panel was open, the button's rule decides again and nothing is saved.
  if (!everyRenderPaired()) {
    refresh();
    return;
  }

  m_toolkit.setSaveEnabled(false);
  BatchRequest request = batchRequest(destination);
  setMessage(std::string(texts::kBusyMessage));
  // A new save: the mark of the last one's failure goes.
  if (m_fault) {
    m_fault.reset();
    m_toolkit.reloadTable();
  }

  const std::uint64_t id = m_nextSave++;
  const std::stop_token stop = m_saves[id].stop.get_token();
  showProgress();

  // The job owns its request and shares nothing mutable with the main thread; every report goes
  // back through the toolkit and is dropped if this BridgeApp is gone by then.
  try {
    startSave(id, stop, std::move(request));
  } catch (...) {
    // No thread to run it on: nothing was started, and the toolkit's alert says why.
    m_saves.erase(id);
    showProgress();
    refresh();
    throw;
  }
}

void BridgeApp::startSave(std::uint64_t id, std::stop_token stop, BatchRequest request) {
  std::weak_ptr<const int> alive = m_lifetime;
  m_toolkit.runInBackground([this, alive, id, stop, runner = m_runner, &toolkit = m_toolkit,
                             request = std::move(request)] {
    std::optional<BatchFailureSite> failedAt;
    std::optional<std::size_t> postedItem;
    std::uint64_t postedPerMille = 0;
    BatchObserver observer;
    observer.stop = stop;
    observer.failed = [&](const BatchFailureSite& site) { failedAt = site; };
    observer.progress = [&](const BatchProgress& progress) {
      const std::uint64_t now = perMille(progress);
      if (postedItem == progress.item && postedPerMille == now) return;
      postedItem = progress.item;
      postedPerMille = now;
      toolkit.runOnMainThread([this, alive, id, progress] {
        if (alive.lock()) reportProgress(id, progress);
      });
    };

    std::optional<BatchResult> result;
    std::string failure;
    std::optional<std::string> renderAtFault;
    try {
      result = runner(request, observer);
    } catch (...) {
      failure = describe(std::current_exception());
      // The file at fault, on a second line, so the user knows which one to look after; a
      // failure of the batch as a whole (its destination, its commit) stands alone.
      if (const auto file = fileAtFault(failedAt, request))
        failure = joined({failure, "\n", *file});
      if (failedAt && failedAt->item && *failedAt->item < request.items.size()) {
        renderAtFault = request.items[*failedAt->item].renderPath;
      }
    }
    if (result) {
      toolkit.runOnMainThread([this, alive, id, result = std::move(*result)] {
        if (alive.lock()) reportSuccess(id, result);
      });
    } else {
      toolkit.runOnMainThread(
          [this, alive, id, failure = std::move(failure), renderAtFault = std::move(renderAtFault)] {
            if (alive.lock()) reportFailure(id, failure, renderAtFault);
          });
    }
  });
}

bool BridgeApp::requestQuit() {
  if (m_saves.empty()) return true;
  if (!m_quitting) {
    m_quitting = true;
    for (auto& [id, running] : m_saves) running.stop.request_stop();
    setMessage(std::string(texts::kCancelling));
    m_toolkit.showBusyProgress();
  }
  return false;
}

void BridgeApp::reportProgress(std::uint64_t save, const BatchProgress& progress) {
  const auto running = m_saves.find(save);
  if (running == m_saves.end()) return;
  running->second.progress = progress;
  if (!m_quitting) showProgress();
}

void BridgeApp::reportSuccess(std::uint64_t save, const BatchResult& result) {
  if (endSave(save)) return;
  setMessage(texts::savedMessage(result.count));
  if (result.directory) {
    // The file manager may not come forward (none is running, or it shows another folder): the
    // path stays at hand on the message line.
    m_toolkit.setMessageDetail(*result.directory);
    m_toolkit.showFolder(*result.directory);
  }
  refresh();
}

void BridgeApp::reportFailure(std::uint64_t save, const std::string& text,
                              const std::optional<std::string>& renderAtFault) {
  if (endSave(save)) return;
  m_toolkit.runAlert(text);
  // Once the alert is gone, the pair at fault stays in sight and marked, with the alert's text.
  const int row = renderAtFault ? rowOf(*renderAtFault) : -1;
  if (row >= 0) m_fault = Fault{*renderAtFault, text};
  refresh();
  if (row >= 0) m_toolkit.selectRow(row);
}

bool BridgeApp::endSave(std::uint64_t save) {
  m_saves.erase(save);
  if (m_quitting) {
    if (m_saves.empty()) m_toolkit.quit();
    return true;
  }
  showProgress();
  return false;
}

// One bar for every batch running: their bytes added up, busy until the first one reports.
void BridgeApp::showProgress() {
  if (m_saves.empty()) {
    m_toolkit.hideProgress();
    return;
  }
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::size_t filesDone = 0;
  std::size_t filesTotal = 0;
  for (const auto& [id, running] : m_saves) {
    const BatchProgress& progress = running.progress;
    done += std::min(progress.bytesDone, progress.bytesTotal);
    total += progress.bytesTotal;
    filesTotal += progress.itemCount;
    // The pairs before the one being staged are done; all are once the batch is finishing.
    if (progress.phase == BatchPhase::finishing) {
      filesDone += progress.itemCount;
    } else if (progress.phase == BatchPhase::staging) {
      filesDone += std::min(progress.item, progress.itemCount);
    }
  }
  if (total == 0) {
    m_toolkit.showBusyProgress();
  } else {
    m_toolkit.showProgress(done, total, filesDone, filesTotal);
  }
}

}  // namespace quillmere
