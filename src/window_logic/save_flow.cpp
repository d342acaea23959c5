#include "window_logic/save_flow.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "platform/file_system.h"
#include "platform/system_error.h"
#include "transfer/batch_destination.h"
#include "window_logic/bridge_app.h"
#include "window_logic/window_paths.h"
#include "window_logic/window_texts.h"
#include "window_logic/window_voice.h"

namespace quillmere {

using texts::joined;

BatchResult runCreateBatch(const BatchRequest& request, const BatchObserver& observer) {
  return createBatch(request, posixFileSystem(), &observer);
}

namespace {

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

// Whether a save ended because a stop was asked for.
bool isStop(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Stopped&) {
    return true;
  } catch (...) {
    // Anything else ended the save: a fault, reported as such by the caller.
    return false;
  }
}

}  // namespace

// Why a chosen destination cannot take a batch, or nothing: the batch needs a folder it can list,
// search and create its staging folder in, so one that cannot be written, read or searched is
// refused when it is chosen rather than when it is saved. An earlier batch would be broken by a
// batch saved into it: the user is sent to the folder that holds it, where they meant to save.
std::optional<DestinationRefusal> destinationRefusal(const std::string& folder) {
  const auto refusal = [](const std::string& reason) {
    return DestinationRefusal{joined({reason, "\n", kChooseFolderAgainMessage}), {}};
  };
  FileSystem& fs = posixFileSystem();
  try {
    if (!fs.status(folder).isDirectory) {
      return refusal(systemErrorText(ENOTDIR, "write", folder));
    }
  } catch (...) {
    return refusal(describe(std::current_exception()));
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
    return refusal(systemErrorText(errno, "write", folder));
  }
  try {
    OpenFile opened = fs.openDirectory(folder);
    if (const auto batch = enclosingBatchFolder(folder, fs, &opened)) {
      return DestinationRefusal{insideBatchMessage(*batch), parentFolder(*batch)};
    }
  } catch (...) {
    return refusal(describe(std::current_exception()));
  }
  return std::nullopt;
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
    // Refused now, naming the folder, rather than failing later under a hidden staging name.
    m_toolkit.runAlert(refusal->text);
    if (!refusal->reopenIn.empty()) panel.folder = refusal->reopenIn;
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
    bool stopped = false;
    try {
      result = runner(request, observer);
    } catch (...) {
      failure = texts::inWindowVoice(std::current_exception());
      // The file at fault, on a second line, so the user knows which one to look after; a
      // failure of the batch as a whole (its destination, its commit) stands alone, and so does
      // a stop, which no file caused.
      if (const auto file = fileAtFault(failedAt, request)) {
        failure = joined({failure, "\n", *file});
      } else {
        stopped = isStop(std::current_exception());
      }
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
          [this, alive, id, failure = std::move(failure), renderAtFault = std::move(renderAtFault),
           stopped] {
            if (alive.lock()) reportFailure(id, failure, renderAtFault, stopped);
          });
    }
  });
}

bool BridgeApp::requestQuit(bool ask) {
  if (m_saves.empty()) return true;
  if (!m_quitting && ask) {
    // One question at a time; a second request waits for its answer.
    if (m_asking) return false;
    // A save of gigabytes is not thrown away by a slip of the keyboard.
    m_asking = true;
    m_held.clear();
    struct Asked {
      bool& asking;
      ~Asked() { asking = false; }
    };
    bool quit = false;
    {
      const Asked asked{m_asking};
      quit = m_toolkit.askToQuit(QuitQuestion{std::string(texts::kStopSavingQuestion),
                                              std::string(texts::kStopAndQuit),
                                              std::string(texts::kKeepSaving)});
    }
    const std::vector<HeldOutcome> held = std::move(m_held);
    m_held.clear();
    // What the saves that ended meanwhile would have shown, the user having seen their lines in
    // the question: all of it when staying, only where a saved batch is when quitting.
    for (const HeldOutcome& outcome : held) {
      if (outcome.show && (!quit || outcome.showWhenQuitting)) outcome.show();
    }
    // Stopped from outside while the question was open: the saves are already rolling back.
    if (m_quitting) return false;
    // Every save ended while the question was open: it asked whether to quit now, and nothing is
    // left to stop or to wait for.
    if (m_saves.empty()) return quit;
    if (!quit) return false;
  }
  if (!m_quitting) {
    m_quitting = true;
    for (auto& [id, running] : m_saves) running.stop.request_stop();
    setMessage(std::string(texts::kCancelling));
    m_toolkit.showBusyProgress();
  }
  return false;
}

void BridgeApp::hold(HeldOutcome outcome) {
  m_held.push_back(std::move(outcome));
  if (!m_saves.empty()) return;
  std::string text;
  for (const HeldOutcome& held : m_held) {
    text += held.line;
    text += '\n';
  }
  text += texts::kQuitNowQuestion;
  m_toolkit.changeQuitQuestion(
      QuitQuestion{text, std::string(texts::kQuitNow), std::string(texts::kStayOpen)});
}

void BridgeApp::reportProgress(std::uint64_t save, const BatchProgress& progress) {
  const auto running = m_saves.find(save);
  if (running == m_saves.end()) return;
  running->second.progress = progress;
  if (!m_quitting) showProgress();
}

void BridgeApp::reportSuccess(std::uint64_t save, const BatchResult& result) {
  const std::string saved = texts::savedMessage(result.count);
  if (m_quitting) {
    // The stop came too late: the batch was saved all the same and stays. The window says so for
    // the moment it has left, and the folder comes forward.
    setMessage(saved);
    if (result.directory) m_toolkit.showFolder(*result.directory);
    endSave(save);
    return;
  }
  endSave(save);
  setMessage(saved);
  std::function<void()> showFolder;
  if (result.directory) {
    // The file manager may not come forward (none is running, or it shows another folder): the
    // path stays at hand on the message line.
    m_toolkit.setMessageDetail(*result.directory);
    showFolder = [this, directory = *result.directory] { m_toolkit.showFolder(directory); };
  }
  refresh();
  if (m_asking) {
    // Not over the question: the folder comes forward once it is answered.
    hold(HeldOutcome{joined({texts::kSavedLineBefore, std::to_string(result.count),
                             texts::kSavedLineAfter}),
                     std::move(showFolder), true});
  } else if (showFolder) {
    showFolder();
  }
}

void BridgeApp::reportFailure(std::uint64_t save, const std::string& text,
                              const std::optional<std::string>& renderAtFault, bool stopped) {
  if (endSave(save)) return;
  // Said before the alert, so the line behind it no longer claims the window is working.
  setMessage(std::string(texts::kSaveFailedMessage));
  if (m_asking) {
    // The question says it in place of the alert; the row at fault is marked if the user stays.
    hold(HeldOutcome{stopped ? text : joined({texts::kFailedLine, "\n", text}),
                     [this, text, renderAtFault] { markFault(text, renderAtFault); }, false});
    return;
  }
  m_toolkit.runAlert(text);
  markFault(text, renderAtFault);
}

void BridgeApp::markFault(const std::string& text, const std::optional<std::string>& renderAtFault) {
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
