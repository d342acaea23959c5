#include "window/qt_toolkit.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <algorithm>
#include <exception>

#include "records/records.h"
#include "window_logic/window_texts.h"
#include "window/file_viewer.h"
#include "window/main_window.h"
#include "window/qt_text.h"
#include "window/render_table_model.h"

namespace quillmere {

namespace {

constexpr int kProgressSteps = 1000;

// Linux file systems tell "a.JPG" from "a.jpg", so every extension is offered in both cases.
QString nameFilter(const std::vector<std::string>& extensions) {
  QStringList patterns;
  for (const auto& extension : extensions) patterns << QStringLiteral("*.") + qText(extension);
  for (const auto& extension : extensions) {
    patterns << QStringLiteral("*.") + qText(extension).toUpper();
  }
  return patterns.join(QLatin1Char(' '));
}

QString settingsKey(PanelFolder panel) {
  switch (panel) {
    case PanelFolder::renders:
      return QStringLiteral("folders/renders");
    case PanelFolder::originals:
      return QStringLiteral("folders/originals");
    case PanelFolder::destination:
      return QStringLiteral("folders/destination");
  }
  return QStringLiteral("folders/other");
}

// Panels and alerts stand over whatever window is modal now (the comparison view, say), so that
// none opens behind it.
QWidget* dialogOwner(MainWindow& window) {
  QWidget* modal = QApplication::activeModalWidget();
  return modal != nullptr && modal->isVisible() ? modal : &window;
}

}  // namespace

QtToolkit::QtToolkit(MainWindow& window)
    : m_window(window),
      // ~/.config/quillmere-bridge/quillmere-bridge.conf (XDG_CONFIG_HOME respected).
      m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillmere-bridge"),
                 QStringLiteral("quillmere-bridge")) {}

QtToolkit::~QtToolkit() { waitForBackgroundJobs(); }

std::optional<std::vector<std::string>> QtToolkit::runOpenPanel(const OpenPanel& panel) {
  QFileDialog dialog(dialogOwner(m_window));
  // The panel's message is its title: every file dialog, Qt's own or the desktop's, shows one.
  dialog.setWindowTitle(qText(panel.message));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (panel.chooseFolders) {
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
  } else {
    dialog.setFileMode(panel.multipleSelection ? QFileDialog::ExistingFiles
                                               : QFileDialog::ExistingFile);
  }
  dialog.setOption(QFileDialog::ReadOnly, !panel.canCreateFolders);
  if (!panel.extensions.empty()) dialog.setNameFilter(nameFilter(panel.extensions));
  if (!panel.filters.empty()) {
    QStringList filters;
    for (const auto& filter : panel.filters) {
      filters << qText(filter.name) + QStringLiteral(" (") +
                     (filter.extensions.empty() ? QStringLiteral("*") : nameFilter(filter.extensions)) +
                     QLatin1Char(')');
    }
    dialog.setNameFilters(filters);
    if (panel.initialFilter > 0 && panel.initialFilter < panel.filters.size()) {
      dialog.selectNameFilter(filters.at(static_cast<qsizetype>(panel.initialFilter)));
    }
  }
  if (!panel.folder.empty()) dialog.setDirectory(qPath(panel.folder));
  if (!panel.preselected.empty()) dialog.selectFile(qPath(panel.preselected));

  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList selected = dialog.selectedFiles();
  std::vector<std::string> chosen;
  for (const QString& path : selected) chosen.push_back(filePath(path));
  return chosen;
}

void QtToolkit::runAlert(const std::string& text) {
  QMessageBox alert(QMessageBox::Warning, qText(texts::kWindowTitle), qText(text), QMessageBox::Ok,
                    dialogOwner(m_window));
  // File names may contain anything, markup included; the text is shown as it is.
  alert.setTextFormat(Qt::PlainText);
  alert.exec();
}

bool QtToolkit::askToQuit(const QuitQuestion& asked) {
  QMessageBox question(QMessageBox::Question, qText(texts::kWindowTitle), qText(asked.text),
                       QMessageBox::NoButton, dialogOwner(m_window));
  question.setTextFormat(Qt::PlainText);
  QPushButton* stay = question.addButton(qText(asked.stay), QMessageBox::RejectRole);
  QPushButton* quit = question.addButton(qText(asked.quit), QMessageBox::AcceptRole);
  question.setDefaultButton(stay);
  question.setEscapeButton(stay);
  m_quitQuestion = &question;
  const int answer = question.exec();
  m_quitQuestion = nullptr;
  // Closed without a button (only a program does that), an accepted question is a yes.
  return question.clickedButton() == quit ||
         (question.clickedButton() == nullptr && answer == QDialog::Accepted);
}

void QtToolkit::changeQuitQuestion(const QuitQuestion& asked) {
  if (m_quitQuestion == nullptr) return;
  QMessageBox& question = *m_quitQuestion;
  // The question keeps at least its width, so that it and its buttons do not move away from a
  // pointer on its way to one of them.
  if (auto* label = question.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
    label->setMinimumWidth(label->width());
  }
  question.setText(qText(asked.text));
  // The buttons keep their places and roles; only what they say changes.
  for (QAbstractButton* button : question.buttons()) {
    button->setText(qText(question.buttonRole(button) == QMessageBox::AcceptRole ? asked.quit
                                                                                  : asked.stay));
  }
}

void QtToolkit::showFolder(const std::string& path) { showInFileManager(qPath(path), this); }

void QtToolkit::runInBackground(std::function<void()> job) {
  joinEnded();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  // std::thread throws when no thread can be had; the job has then not started.
  // The toolkit outlives every job: its destructor waits for them.
  std::thread thread([this, job = std::move(job), ended] {
    // Nothing may leave the thread. BridgeApp's jobs report their own failures; one that escapes
    // all the same is reported on the main thread as the window's other failures are.
    try {
      job();
    } catch (...) {
      try {
        runOnMainThread([error = std::current_exception()] { std::rethrow_exception(error); });
      } catch (...) {
        // Not even the report could be queued (no memory left): nothing more can be done here.
      }
    }
    ended->store(true, std::memory_order_release);
  });
  m_jobs.push_back({std::move(thread), std::move(ended)});
}

void QtToolkit::joinEnded() {
  for (auto job = m_jobs.begin(); job != m_jobs.end();) {
    if (job->ended->load(std::memory_order_acquire)) {
      job->thread.join();
      job = m_jobs.erase(job);
    } else {
      ++job;
    }
  }
}

void QtToolkit::waitForBackgroundJobs() {
  for (Job& job : m_jobs) job.thread.join();
  m_jobs.clear();
}

std::size_t QtToolkit::runningJobs() {
  joinEnded();
  return m_jobs.size();
}

void QtToolkit::runOnMainThread(std::function<void()> block) {
  QMetaObject::invokeMethod(
      this, [this, block = std::move(block)] { guarded(block); }, Qt::QueuedConnection);
}

void QtToolkit::reloadTable() {
  if (m_model != nullptr) m_model->reload();
  if (reloaded) reloaded();
}

int QtToolkit::selectedRow() {
  const QItemSelectionModel& selection = *m_window.table()->selectionModel();
  const QModelIndex current = selection.currentIndex();
  if (current.isValid() && selection.isRowSelected(current.row())) return current.row();
  const std::vector<int> rows = selectedRows();
  return rows.empty() ? -1 : rows.front();
}

std::vector<int> QtToolkit::selectedRows() {
  std::vector<int> rows;
  for (const QModelIndex& index : m_window.table()->selectionModel()->selectedRows()) {
    rows.push_back(index.row());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

void QtToolkit::selectRow(int row) {
  if (m_model == nullptr) return;
  const QModelIndex index = m_model->index(row, 0);
  if (!index.isValid()) return;
  m_window.table()->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_window.table()->scrollTo(index);
}

void QtToolkit::focusTable() {
  // From the add button, which the panel returns the keyboard to; the keyboard anywhere else
  // (the list itself, or nowhere yet while the window opens) stays where it is.
  if (m_window.focusWidget() == m_window.addButton()) {
    m_window.table()->setFocus(Qt::OtherFocusReason);
  }
}

void QtToolkit::setSaveEnabled(bool enabled) { m_window.saveButton()->setEnabled(enabled); }

void QtToolkit::setMessage(const std::string& text) {
  m_message = qText(text);
  updateMessageLine();
  m_window.message()->setToolTip({});
}

void QtToolkit::updateMessageLine() {
  if (m_message.isNull()) m_message = m_window.message()->text();
  const QString note = rowNote ? rowNote() : QString();
  m_window.message()->setText(note.isEmpty() ? m_message : m_message + QLatin1Char('\n') + note);
}

void QtToolkit::setMessageDetail(const std::string& detail) {
  m_window.message()->setToolTip(qPath(detail));
}

void QtToolkit::showBusyProgress() {
  m_window.progress()->setRange(0, 0);
  m_window.progress()->setTextVisible(false);
  m_window.progress()->show();
}

void QtToolkit::showProgress(std::uint64_t done, std::uint64_t total, std::size_t filesDone,
                             std::size_t filesTotal) {
  QProgressBar& bar = *m_window.progress();
  bar.setRange(0, kProgressSteps);
  const std::uint64_t steps = total == 0 ? 0 : std::min(done, total) * kProgressSteps / total;
  bar.setValue(static_cast<int>(steps));
  // The bar fills by bytes, so a large file moves it too; its figure counts files: "3/6".
  bar.setFormat(QStringLiteral("%1/%2").arg(filesDone).arg(filesTotal));
  bar.setTextVisible(true);
  bar.show();
}

void QtToolkit::hideProgress() { m_window.progress()->hide(); }

void QtToolkit::quit() { QCoreApplication::quit(); }

std::string QtToolkit::rememberedFolder(PanelFolder panel) {
  const QString folder = m_settings.value(settingsKey(panel)).toString();
  // A folder that has gone since is no place to open a panel in.
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) return {};
  return filePath(folder);
}

void QtToolkit::rememberFolder(PanelFolder panel, const std::string& folder) {
  m_settings.setValue(settingsKey(panel), qPath(folder));
}

QSize QtToolkit::rememberedWindowSize() {
  return m_settings.value(QStringLiteral("window/size")).toSize();
}

void QtToolkit::rememberWindowSize(QSize size) {
  if (size.isValid()) {
    m_settings.setValue(QStringLiteral("window/size"), size);
  } else {
    m_settings.remove(QStringLiteral("window/size"));
  }
}

void QtToolkit::guarded(const std::function<void()>& action) noexcept {
  try {
    action();
  } catch (...) {
    try {
      runAlert(describe(std::current_exception()));
    } catch (...) {
      // The alert could not be shown either (no memory left for it): there is no other way to
      // tell the user, and nothing may leave into Qt.
    }
  }
}

}  // namespace quillmere
