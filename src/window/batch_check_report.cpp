// Saving the batch check's report: where it may go, and writing it whole or not at all.

#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "window/batch_check_dialog.h"
#include "window/qt_text.h"

namespace quillmere {

namespace {

constexpr std::string_view kSavePanelTitle = "保存核对报告";
constexpr std::string_view kReportFileName = "核对报告.txt";
constexpr std::string_view kCannotSaveReport = "无法保存核对报告，请换一个位置再试。";
// As --verify says it of a result file it is asked to write there.
constexpr std::string_view kReportInsideBatch =
    "核对结果不能保存在要核对的批次文件夹里，请换一个位置。";

}  // namespace

bool BatchCheckDialog::saveReport(const QString& path) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(m_reportText.data(), static_cast<qint64>(m_reportText.size()));
  return file.commit();
}

bool BatchCheckDialog::insideCheckedBatch(const QString& path) const {
  std::error_code error;
  const std::filesystem::path folder =
      std::filesystem::weakly_canonical(std::filesystem::path(filePath(path)).parent_path(), error);
  if (error) return false;
  for (const std::string& batch : m_batchFolders) {
    const std::filesystem::path checked = std::filesystem::weakly_canonical(batch, error);
    if (error) continue;
    const auto [end, at] = std::mismatch(checked.begin(), checked.end(), folder.begin(), folder.end());
    if (end == checked.end()) return true;
  }
  return false;
}

void BatchCheckDialog::askWhereToSave() {
  QFileDialog dialog(this);
  dialog.setWindowTitle(qText(kSavePanelTitle));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // Beside the batch checked, never in it.
  if (!m_batchFolders.empty()) {
    dialog.setDirectory(qPath(std::filesystem::path(m_batchFolders.front()).parent_path().string()));
  }
  dialog.selectFile(qText(kReportFileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().front();
  // A file written into a batch would be one the next check finds there and the batch never had.
  const bool inside = insideCheckedBatch(path);
  if (!inside && saveReport(path)) return;
  QMessageBox alert(QMessageBox::Warning, windowTitle(),
                    qText(inside ? kReportInsideBatch : kCannotSaveReport), QMessageBox::Ok, this);
  alert.setTextFormat(Qt::PlainText);
  alert.exec();
}

}  // namespace quillmere
