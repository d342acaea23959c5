#include "ui/bridge_app.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/file_system.h"
#include "platform/paths.h"
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

// Which pair a batch was staging when it failed, from the last progress createBatch reported;
// none when it failed before the first pair or after the last (destination, manifest, commit).
class StagingTracker {
 public:
  void heard(const BatchProgress& progress) { m_last = progress; }
  std::optional<std::size_t> failingItem() const {
    if (m_last.phase != BatchPhase::staging) return std::nullopt;
    return m_last.item;
  }

 private:
  BatchProgress m_last;
};

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
  const auto chosen = m_toolkit.runOpenPanel(panel);
  if (!chosen) return;
  append(locations(*chosen));
}

void BridgeApp::append(const std::vector<std::string>& locations) {
  const std::size_t examined = std::min(locations.size(), kListLimit);
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
    if (std::find(m_renders.begin(), m_renders.end(), location) == m_renders.end()) {
      m_renders.push_back(location);
    }
  }
  if (m_renders.size() > kListLimit) {
    m_renders.resize(kListLimit);
    m_toolkit.runAlert(std::string(texts::kLimitAlert));
  }
  refresh();
}

void BridgeApp::chooseOriginal() {
  const int row = m_toolkit.selectedRow();
  if (row < 0 || static_cast<std::size_t>(row) >= m_renders.size()) return;
  const std::string render = m_renders[static_cast<std::size_t>(row)];

  OpenPanel panel;
  panel.message = joined({texts::kChoosePanelBefore, fileName(render), texts::kChoosePanelAfter});
  const auto chosen = m_toolkit.runOpenPanel(panel);
  if (!chosen || chosen->empty()) return;

  m_originals.insert_or_assign(render, locationOrAsGiven(chosen->front()));
  refresh();
  const auto next = static_cast<std::size_t>(row) + 1;
  if (next < m_renders.size()) m_toolkit.selectRow(static_cast<int>(next));
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
  const auto chosen = m_toolkit.runOpenPanel(panel);
  if (!chosen || chosen->empty()) return;
  // The save button is enabled only for a fully paired list; should the list have changed while
  // the panel was open, the button's rule decides again and nothing is saved.
  if (!everyRenderPaired()) {
    refresh();
    return;
  }

  m_toolkit.setSaveEnabled(false);
  BatchRequest request = batchRequest(locationOrAsGiven(chosen->front()));
  m_toolkit.setMessage(std::string(texts::kBusyMessage));

  const std::uint64_t id = m_nextSave++;
  const std::stop_token stop = m_saves[id].stop.get_token();
  showProgress();

  // The job owns its request and shares nothing mutable with the main thread; every report goes
  // back through the toolkit and is dropped if this BridgeApp is gone by then.
  std::weak_ptr<const int> alive = m_lifetime;
  m_toolkit.runInBackground([this, alive, id, stop, runner = m_runner, &toolkit = m_toolkit,
                             request = std::move(request)] {
    StagingTracker tracker;
    std::optional<std::size_t> postedItem;
    std::uint64_t postedPerMille = 0;
    BatchObserver observer;
    observer.stop = stop;
    observer.progress = [&](const BatchProgress& progress) {
      tracker.heard(progress);
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
    try {
      result = runner(request, observer);
    } catch (...) {
      failure = describe(std::current_exception());
      // A failure of one pair names its render on a second line, as a refusal at adding time
      // does; a failure of the batch as a whole (its destination, its commit) stands alone.
      const auto item = tracker.failingItem();
      if (item && *item < request.items.size()) {
        failure = refusalText(failure, request.items[*item].renderPath);
      }
    }
    if (result) {
      toolkit.runOnMainThread([this, alive, id, result = std::move(*result)] {
        if (alive.lock()) reportSuccess(id, result);
      });
    } else {
      toolkit.runOnMainThread([this, alive, id, failure = std::move(failure)] {
        if (alive.lock()) reportFailure(id, failure);
      });
    }
  });
}

bool BridgeApp::requestQuit() {
  if (m_saves.empty()) return true;
  if (!m_quitting) {
    m_quitting = true;
    for (auto& [id, running] : m_saves) running.stop.request_stop();
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
  m_toolkit.setMessage(
      joined({texts::kSavedBefore, std::to_string(result.count), texts::kSavedAfter}));
  if (result.directory) m_toolkit.showFolder(*result.directory);
  refresh();
}

void BridgeApp::reportFailure(std::uint64_t save, const std::string& text) {
  if (endSave(save)) return;
  m_toolkit.runAlert(text);
  refresh();
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
  for (const auto& [id, running] : m_saves) {
    done += std::min(running.progress.bytesDone, running.progress.bytesTotal);
    total += running.progress.bytesTotal;
  }
  if (total == 0) {
    m_toolkit.showBusyProgress();
  } else {
    m_toolkit.showProgress(done, total);
  }
}

}  // namespace quillmere
