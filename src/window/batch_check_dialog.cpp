#include "window/batch_check_dialog.h"


#include <QAction>
#include <QCloseEvent>
#include <QColor>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "records/records.h"
#include "transfer/manifest.h"
#include "verify/verify_report.h"
#include "window/checked_batches.h"
#include "window/file_viewer.h"
#include "window/main_window.h"
#include "window/qt_text.h"

namespace quillmere {

namespace {

constexpr std::string_view kMenuItem = "核对已保存的批次…";
constexpr std::string_view kFolderPanelTitle = "选择要核对的批次文件夹，或存放多个批次的文件夹";
constexpr std::string_view kDialogTitle = "核对已保存的批次";
constexpr std::string_view kStarting = "正在核对…";
constexpr std::string_view kStop = "停止核对";
constexpr std::string_view kReveal = "在文件管理器中显示";
constexpr std::string_view kSaveReport = "保存报告…";
constexpr std::string_view kClose = "关闭";
constexpr std::string_view kListName = "核对结果";
constexpr std::string_view kListDescription = "批次里的每张照片、它的核对状态，以及核对发现的问题。";
constexpr std::string_view kFileColumn = "文件";
constexpr std::string_view kStateColumn = "状态";
constexpr std::string_view kProblemColumn = "说明";
constexpr std::string_view kConsistent = "一致";
constexpr std::string_view kChanged = "已改动";
constexpr std::string_view kMissing = "缺失";
constexpr std::string_view kUnreadable = "无法读取";
constexpr std::string_view kExtra = "不属于批次";
constexpr std::string_view kNotABatch = "无法核对";
constexpr std::string_view kConsistentLine = "与传输清单一致。";

// The window's amber for what needs a second look, readable on light and dark lists alike.
constexpr QRgb kProblemColour = 0xb35900;

std::string_view stateOf(const std::string& problem) {
  if (problem == kRenderMissingProblem) return kMissing;
  if (problem == kExtraEntryProblem) return kExtra;
  if (problem.starts_with(kRenderUnreadableStart) || problem == kRenderNotAFileProblem ||
      problem == kRenderTooLargeProblem || problem == kRenderChangedWhileReadProblem) {
    return kUnreadable;
  }
  return kChanged;
}

QString lastLine(const std::string& text) {
  QString lines = qText(text).trimmed();
  return lines.mid(lines.lastIndexOf(QLatin1Char('\n')) + 1);
}

}  // namespace

BatchCheckDialog::BatchCheckDialog(QWidget* parent, Checker checker)
    : QDialog(parent), m_checker(std::move(checker)) {
  setObjectName(QStringLiteral("batchCheckDialog"));
  setWindowTitle(qText(kDialogTitle));
  if (!m_checker) {
    m_checker = [](const std::string& folder, const VerifyObserver& observer) {
      return verifyBatch(folder, posixFileSystem(), &observer);
    };
  }
  auto* stack = new QVBoxLayout(this);
  stack->setSpacing(12);
  m_status = new QLabel(qText(kStarting));
  m_status->setObjectName(QStringLiteral("checkStatus"));
  m_status->setTextFormat(Qt::PlainText);
  m_status->setWordWrap(true);
  stack->addWidget(m_status);
  m_progress = new QProgressBar;
  m_progress->setObjectName(QStringLiteral("checkProgress"));
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 0);
  stack->addWidget(m_progress);
  stack->addWidget(buildList(), 1);

  m_summary = new QLabel;
  m_summary->setObjectName(QStringLiteral("checkSummary"));
  m_summary->setTextFormat(Qt::PlainText);
  m_summary->setWordWrap(true);
  m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Shown only for what the status line cannot hold: several batches, or a folder that is none.
  m_summary->hide();
  stack->addWidget(m_summary);

  stack->addLayout(buildButtons());
}

QTreeWidget* BatchCheckDialog::buildList() {
  m_list = new QTreeWidget;
  m_list->setObjectName(QStringLiteral("checkList"));
  m_list->setAccessibleName(qText(kListName));
  m_list->setAccessibleDescription(qText(kListDescription));
  m_list->setHeaderLabels({qText(kFileColumn), qText(kStateColumn), qText(kProblemColumn)});
  m_list->setRootIsDecorated(false);
  m_list->setUniformRowHeights(true);
  m_list->setWordWrap(false);
  m_list->setTextElideMode(Qt::ElideMiddle);
  m_list->header()->setStretchLastSection(true);
  m_list->header()->resizeSection(0, 300);
  m_list->header()->resizeSection(1, 90);
  m_list->setMinimumSize(760, 280);
  connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
    const QTreeWidgetItem* item = m_list->currentItem();
    m_revealButton->setEnabled(item != nullptr && !item->data(0, kPathRole).toString().isEmpty());
  });
  connect(m_list, &QTreeWidget::itemActivated, this, &BatchCheckDialog::reveal);
  return m_list;
}

QHBoxLayout* BatchCheckDialog::buildButtons() {
  auto* buttons = new QHBoxLayout;
  m_revealButton = new QPushButton(qText(kReveal));
  m_revealButton->setObjectName(QStringLiteral("revealButton"));
  m_saveButton = new QPushButton(qText(kSaveReport));
  m_saveButton->setObjectName(QStringLiteral("saveReportButton"));
  m_stopButton = new QPushButton(qText(kStop));
  m_stopButton->setObjectName(QStringLiteral("stopCheckButton"));
  m_closeButton = new QPushButton(qText(kClose));
  m_closeButton->setObjectName(QStringLiteral("closeCheckButton"));
  for (QPushButton* button : {m_revealButton, m_saveButton, m_stopButton, m_closeButton}) {
    button->setAutoDefault(false);
  }
  buttons->addWidget(m_revealButton);
  buttons->addWidget(m_saveButton);
  buttons->addStretch(1);
  buttons->addWidget(m_stopButton);
  buttons->addWidget(m_closeButton);
  m_revealButton->setEnabled(false);
  m_saveButton->setEnabled(false);

  connect(m_stopButton, &QPushButton::clicked, this, [this] {
    m_stop = true;
    m_stopButton->setEnabled(false);
  });
  connect(m_closeButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_revealButton, &QPushButton::clicked, this, &BatchCheckDialog::reveal);
  connect(m_saveButton, &QPushButton::clicked, this, &BatchCheckDialog::askWhereToSave);
  return buttons;
}

BatchCheckDialog::~BatchCheckDialog() { stopAndWait(); }

void BatchCheckDialog::stopAndWait() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
}

void BatchCheckDialog::closeEvent(QCloseEvent* event) {
  // Closing stops the check: nobody would see what it finds.
  stopAndWait();
  QDialog::closeEvent(event);
}

void BatchCheckDialog::reject() {
  stopAndWait();
  QDialog::reject();
}

void BatchCheckDialog::check(const std::string& folder) {
  stopAndWait();
  m_stop = false;
  m_finished = false;
  m_list->clear();
  m_summary->clear();
  m_summary->hide();
  m_summaries.clear();
  m_batchFolders.clear();
  m_troubledBatches = 0;
  m_reportText.clear();
  m_status->setText(qText(kStarting));
  m_progress->setRange(0, 0);
  m_progress->show();
  m_stopButton->setEnabled(true);
  m_saveButton->setEnabled(false);
  m_thread = std::thread([this, folder] { run(batchesIn(folder)); });
}

void BatchCheckDialog::run(std::vector<std::string> batches) {
  bool stopped = false;
  const bool several = batches.size() > 1;
  for (std::size_t i = 0; i < batches.size() && !stopped; ++i) {
    BatchOutcome outcome;
    outcome.folder = batches[i];
    VerifyObserver observer;
    observer.stopFlag = &m_stop;
    observer.progress = [this, i, count = batches.size()](const VerifyProgress& progress) {
      QMetaObject::invokeMethod(
          this, [this, progress, i, count] { showProgress(progress, i, count); },
          Qt::QueuedConnection);
    };
    // As --verify reads a failure: the check's own refusal, or what the process met.
    try {
      outcome.report = m_checker(outcome.folder, observer);
    } catch (const BridgeFailure& failure) {
      outcome.stopped = failure.message() == kVerifyStoppedMessage;
      outcome.report = VerifyReport{false, 0, {{outcome.folder, failure.message()}}};
    } catch (const std::exception& error) {
      outcome.report = VerifyReport{false, 0, {{outcome.folder, describe(error)}}};
    }
    stopped = outcome.stopped || m_stop;
    if (outcome.report.isBatch && !outcome.stopped) outcome.renders = renderNames(outcome.folder);
    QMetaObject::invokeMethod(
        this, [this, outcome = std::move(outcome), several] { showOutcome(outcome, several); },
        Qt::QueuedConnection);
  }
  QMetaObject::invokeMethod(this, [this, stopped] { finish(stopped); }, Qt::QueuedConnection);
}

void BatchCheckDialog::showProgress(const VerifyProgress& progress, std::size_t batch,
                                    std::size_t batches) {
  if (m_finished) return;
  QString text = qText(verifyProgressText(progress));
  if (batches > 1) {
    text += QStringLiteral("（第 %1 个批次，共 %2 个）").arg(batch + 1).arg(batches);
  }
  m_status->setText(text);
  if (progress.fileCount > 0) {
    m_progress->setRange(0, static_cast<int>(progress.fileCount));
    m_progress->setValue(static_cast<int>(progress.filesDone));
  }
}

void BatchCheckDialog::showOutcome(const BatchOutcome& outcome, bool several) {
  if (outcome.stopped) return;
  m_batchFolders.push_back(outcome.folder);
  if (!outcome.report.isBatch || !outcome.report.problems.empty()) ++m_troubledBatches;
  const std::string text = verifyReportText(outcome.report);
  if (several) {
    m_reportText += (m_reportText.empty() ? "" : "\n") + outcome.folder + "\n";
  }
  m_reportText += text;
  m_summaries.push_back((several ? std::filesystem::path(outcome.folder).filename().string() +
                                       "："
                                 : std::string()) +
                        lastLine(text).toStdString());

  QTreeWidgetItem* parent = nullptr;
  if (several) {
    parent = new QTreeWidgetItem(m_list, {qPath(outcome.folder)});
    parent->setData(0, kPathRole, qPath(outcome.folder));
    parent->setFirstColumnSpanned(true);
    parent->setExpanded(true);
    m_list->setRootIsDecorated(true);
  }
  const auto add = [&](const std::string& file, std::string_view state, const QString& line) {
    addRow(parent, outcome.folder, file, state, line);
  };
  if (!outcome.report.isBatch) {
    for (const VerifyProblem& problem : outcome.report.problems) {
      add(problem.file, kNotABatch, qText(problem.problem));
    }
    if (parent != nullptr) parent->setExpanded(true);
    return;
  }
  listRenders(parent, outcome);
}

void BatchCheckDialog::listRenders(QTreeWidgetItem* parent, const BatchOutcome& outcome) {
  const auto add = [&](const std::string& file, std::string_view state, const QString& line) {
    addRow(parent, outcome.folder, file, state, line);
  };
  std::map<std::string, std::vector<const VerifyProblem*>> byFile;
  for (const VerifyProblem& problem : outcome.report.problems) byFile[problem.file].push_back(&problem);
  const auto lines = [](const std::vector<const VerifyProblem*>& problems) {
    QStringList texts;
    for (const VerifyProblem* problem : problems) texts.push_back(qText(problem->problem));
    return texts.join(QLatin1Char('\n'));
  };
  // The manifest's own problems first, as --verify lists them, then each render in manifest
  // order, then what does not belong.
  if (const auto manifest = byFile.find(kManifestFileName); manifest != byFile.end()) {
    add(kManifestFileName, kChanged, lines(manifest->second));
    byFile.erase(manifest);
  }
  for (const std::string& render : outcome.renders) {
    const auto found = byFile.find(render);
    if (found == byFile.end()) {
      add(render, kConsistent, qText(kConsistentLine));
      continue;
    }
    add(render, stateOf(found->second.front()->problem), lines(found->second));
    byFile.erase(found);
  }
  for (const VerifyProblem& problem : outcome.report.problems) {
    const auto left = byFile.find(problem.file);
    if (left == byFile.end()) continue;
    add(problem.file, stateOf(problem.problem), lines(left->second));
    byFile.erase(left);
  }
}

void BatchCheckDialog::addRow(QTreeWidgetItem* parent, const std::string& batch,
                              const std::string& file, std::string_view state, const QString& line) {
  QStringList columns{qText(printableFileName(file)), qText(state), line};
  auto* item = parent != nullptr ? new QTreeWidgetItem(parent, columns)
                                 : new QTreeWidgetItem(m_list, columns);
  item->setToolTip(2, line);
  const std::filesystem::path folder(batch);
  // A render that is gone, and a folder that is no batch, are shown by the folder.
  const std::string shown =
      state == kMissing || state == kNotABatch || file.empty() || file == batch
          ? batch
          : (folder / file).string();
  item->setData(0, kPathRole, qPath(shown));
  // A problem stands out in the state column: bold, in the window's "look again" amber.
  if (state != kConsistent) {
    QFont font = item->font(1);
    font.setBold(true);
    item->setFont(1, font);
    item->setForeground(1, QColor(kProblemColour));
  }
}

void BatchCheckDialog::finish(bool stopped) {
  if (m_thread.joinable()) m_thread.join();
  m_finished = true;
  m_progress->hide();
  m_stopButton->setEnabled(false);
  if (stopped) {
    // As --verify answers a stop: the one line, whatever was checked before it.
    m_reportText = std::string(kVerifyStoppedMessage) + "\n";
    m_status->setText(qText(kVerifyStoppedMessage));
  } else if (m_summaries.size() == 1) {
    m_status->setText(qText(m_summaries.front()));
  } else {
    const std::string count = std::to_string(m_summaries.size());
    m_status->setText(qText(
        m_troubledBatches == 0
            ? "已核对 " + count + " 个批次，都与各自的传输清单一致。"
            : "已核对 " + count + " 个批次，其中 " + std::to_string(m_troubledBatches) +
                  " 个有问题。"));
  }
  if (!stopped && m_summaries.size() > 1) {
    QStringList all;
    for (const std::string& line : m_summaries) all.push_back(qText(line));
    m_summary->setText(all.join(QLatin1Char('\n')));
  } else if (!stopped && m_list->topLevelItemCount() > 0 &&
             m_list->topLevelItem(0)->text(1) == qText(kNotABatch)) {
    // A folder that is no batch: the refusal, line for line as --verify prints it.
    m_summary->setText(qText(m_reportText).trimmed());
  }
  m_summary->setVisible(!m_summary->text().isEmpty());
  m_saveButton->setEnabled(true);
  m_closeButton->setFocus();
}

void BatchCheckDialog::reveal() {
  const QTreeWidgetItem* item = m_list->currentItem();
  if (item == nullptr) return;
  const QString path = item->data(0, kPathRole).toString();
  if (!path.isEmpty()) showInFileManager(path, this);
}

void addBatchCheckItem(MainWindow& window) {
  QAction* quit = window.quitAction();
  const QList<QAction*> menus = window.menuBar()->actions();
  if (menus.isEmpty() || menus.front()->menu() == nullptr) return;
  QMenu* menu = menus.front()->menu();
  auto* item = new QAction(qText(kMenuItem), &window);
  item->setObjectName(QStringLiteral("checkBatchAction"));
  menu->insertAction(quit, item);
  QObject::connect(item, &QAction::triggered, &window, [&window] {
    QFileDialog panel(&window);
    panel.setWindowTitle(qText(kFolderPanelTitle));
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly, true);
    panel.setOption(QFileDialog::ReadOnly, true);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return;
    const std::string folder = filePath(panel.selectedFiles().front());
    // One check at a time: a new folder replaces the last dialog.
    if (auto* last = window.findChild<BatchCheckDialog*>()) delete last;
    auto* dialog = new BatchCheckDialog(&window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->resize(900, 520);
    dialog->show();
    dialog->check(folder);
  });
}

}  // namespace quillmere
