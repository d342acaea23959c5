// Checking a saved batch from the window: the same check and the same texts as --verify.

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <condition_variable>

#include "qt_fixture.h"
#include "records/records.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"
#include "window/batch_check_dialog.h"
#include "window/main_window.h"

namespace quillmere::qt_testing {
namespace {

// What `quillmere-bridge --verify folder` prints on standard output.
std::string verifyOutput(const std::string& folder) {
  const std::string command =
      std::string("'") + QUILLMERE_BRIDGE_PATH + "' --verify '" + folder + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// A saved batch of three renders, made by the real createBatch; its folder.
std::string savedBatch(TempDir& dir, const std::string& into) {
  std::filesystem::create_directories(into);
  BatchRequest request{"CAPTURE_ONE", "catalog", into, {}};
  for (int i = 0; i < 3; ++i) {
    const std::string render = dir / numbered("r", i, ".png");
    const std::string original = dir / numbered("o", i, ".jpg");
    writeFile(render, testing::pngImage(20, 10, i));
    writeFile(original, testing::jpegImage(20, 10, i));
    request.items.push_back({original, render, numbered("p", i, ""), numbered("v", i, "")});
  }
  const BatchResult result = createBatch(request);
  EXPECT_TRUE(result.directory.has_value()) << result.error.value_or("");
  return result.directory.value_or("");
}

// The render files of a batch, in the manifest's order is not needed: any one will do.
std::string oneRender(const std::string& batch) {
  for (const auto& entry : std::filesystem::directory_iterator(batch)) {
    if (entry.path().filename() != kManifestFileName) return entry.path().filename();
  }
  return {};
}

struct Row {
  std::string file, state, line;
};
std::vector<Row> rowsOf(const QTreeWidget& list) {
  std::vector<Row> rows;
  const auto take = [&](QTreeWidgetItem* item) {
    rows.push_back({item->text(0).toStdString(), item->text(1).toStdString(),
                    item->text(2).toStdString()});
  };
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = list.topLevelItem(i);
    if (top->childCount() == 0) take(top);
    for (int j = 0; j < top->childCount(); ++j) take(top->child(j));
  }
  return rows;
}

// From the window's menu, a saved batch with one render changed on purpose: that render shows as
// changed with --verify's own line, the others as consistent, the summary is --verify's, and the
// saved report is, byte for byte, what --verify prints. A folder that is no batch gets --verify's
// refusal, and one holding several batches checks each.
TEST_F(WindowTest, ASavedBatchIsCheckedFromTheWindowAsVerifyChecksIt) {
  start();
  TempDir saved;
  const std::string batch = savedBatch(m_dir, saved / "one");
  ASSERT_FALSE(batch.empty());
  const std::string changed = oneRender(batch);
  {
    std::fstream file(std::filesystem::path(batch) / changed,
                      std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(40);
    file.put('\x5a');
  }
  const std::string expected = verifyOutput(batch);
  ASSERT_NE(expected.find(changed + "：" + kRenderDiffersProblem), std::string::npos) << expected;

  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(batch));
  QAction* item = window().findChild<QAction*>(QStringLiteral("checkBatchAction"));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), u8("核对已保存的批次…"));
  item->trigger();
  BatchCheckDialog* dialog = nullptr;
  ASSERT_TRUE(waitUntil([&] {
    dialog = window().findChild<BatchCheckDialog*>();
    return dialog != nullptr && !dialog->running() && dialog->saveButton()->isEnabled();
  }));
  const std::vector<Row> rows = rowsOf(*dialog->list());
  ASSERT_EQ(rows.size(), 3u);
  int consistent = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    if (row.file == changed) {
      EXPECT_EQ(row.state, "已改动");
      EXPECT_EQ(row.line, kRenderDiffersProblem);
    } else {
      EXPECT_EQ(row.state, "一致");
      ++consistent;
    }
  }
  EXPECT_EQ(consistent, 2);
  EXPECT_EQ(dialog->reportText(), expected);
  const std::string summary = expected.substr(expected.rfind('\n', expected.size() - 2) + 1);
  EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("checkStatus"))->text().toStdString() + "\n",
            summary);

  // Saved beside the batch; inside it, refused as --verify refuses to write its result there.
  const std::string report = saved / "report.txt";
  answerer.fileAnswers.push_back(ModalAnswerer::choose(report));
  dialog->saveButton()->click();
  EXPECT_EQ(testing::readFile(report), expected);
  answerer.fileAnswers.push_back(ModalAnswerer::choose(batch + "/report.txt"));
  dialog->saveButton()->click();
  EXPECT_FALSE(std::filesystem::exists(batch + "/report.txt"));
  ASSERT_EQ(answerer.alerts.size(), 1u);
  EXPECT_EQ(answerer.alerts.front(), "核对结果不能保存在要核对的批次文件夹里，请换一个位置。");

  // A folder that is no batch, and one that holds several.
  TempDir notABatch;
  writeFile(notABatch / "a.jpg", "x");
  const std::string second = savedBatch(m_dir, saved / "one");
  const std::string secondText = second + "\n" + verifyOutput(second);
  const std::string firstText = batch + "\n" + expected;
  struct Case {
    std::string folder;
    std::string expected;
  };
  const Case cases[] = {
      {notABatch.path(), verifyOutput(notABatch.path())},
      {saved / "one",
       batch < second ? firstText + "\n" + secondText : secondText + "\n" + firstText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    dialog->check(c.folder);
    ASSERT_TRUE(waitUntil([&] { return !dialog->running() && dialog->saveButton()->isEnabled(); }));
    EXPECT_EQ(dialog->reportText(), c.expected);
  }
  EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("checkStatus"))->text(),
            u8("已核对 2 个批次，其中 1 个有问题。"));
  EXPECT_NE(cases[0].expected.find(kNoManifestProblem), std::string::npos);
  dialog->check(notABatch.path());
  ASSERT_TRUE(waitUntil([&] { return !dialog->running() && dialog->saveButton()->isEnabled(); }));
  EXPECT_EQ(dialog->summary()->text().toStdString() + "\n", cases[0].expected);
  dialog->close();
}

// The stop button ends a running check: the dialog says so in --verify's words, and the report is
// that line alone, as --verify prints it when stopped.
TEST_F(WindowTest, TheStopButtonEndsARunningCheck) {
  start();
  TempDir saved;
  const std::string batch = savedBatch(m_dir, saved / "one");
  ASSERT_FALSE(batch.empty());
  // The real check, begun only once the stop has been asked for, so that it is stopped at its
  // start whatever the machine's speed.
  std::mutex mutex;
  std::condition_variable asked;
  bool checking = false;
  BatchCheckDialog dialog(&window(), [&](const std::string& folder, const VerifyObserver& observer) {
    std::unique_lock lock(mutex);
    checking = true;
    asked.wait(lock, [&] { return observer.stopFlag->load(); });
    return verifyBatch(folder, posixFileSystem(), &observer);
  });
  dialog.show();
  dialog.check(batch);
  ASSERT_TRUE(dialog.stopButton()->isEnabled());
  ASSERT_TRUE(waitUntil([&] {
    const std::lock_guard lock(mutex);
    return checking;
  }));
  dialog.stopButton()->click();
  {
    const std::lock_guard lock(mutex);
    asked.notify_all();
  }
  ASSERT_TRUE(waitUntil([&] { return !dialog.running() && dialog.saveButton()->isEnabled(); }));
  EXPECT_EQ(dialog.reportText(), std::string(kVerifyStoppedMessage) + "\n");
  EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("checkStatus"))->text().toStdString(),
            kVerifyStoppedMessage);
  EXPECT_FALSE(dialog.progress()->isVisible());
  EXPECT_FALSE(dialog.stopButton()->isEnabled());
}

}  // namespace
}  // namespace quillmere::qt_testing
