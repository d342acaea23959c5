#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Every text the window shows, byte for byte. "…" is U+2026, "·" U+00B7, “” U+201C/U+201D (the
// one quotation style of every text) and （） U+FF08/U+FF09.
namespace quillmere::texts {

inline constexpr std::string_view kWindowTitle = "Quillmere · Capture One Bridge";
inline constexpr std::string_view kHeadline = "把调色结果带回 Quillmere";
inline constexpr std::string_view kInitialMessage =
    "从 Capture One 导出 JPEG、TIFF 或 PNG 后，在这里选择对应的原照片。"
    "原照片只用于确认对应关系，不会被修改。";
inline constexpr std::string_view kAddButton = "添加导出的照片…";
inline constexpr std::string_view kChooseButton = "选择对应原照片…";
inline constexpr std::string_view kSaveButton = "保存并带回 Quillmere…";
inline constexpr std::string_view kQuitItem = "退出 Quillmere Bridge";
inline constexpr std::string_view kNoOriginal = "请选择原照片";

inline constexpr std::string_view kAddPanelMessage =
    "选择 Capture One 导出的照片，不要选择 RAW 原照片。";
inline constexpr std::string_view kChoosePanelBefore = "选择“";
inline constexpr std::string_view kChoosePanelAfter =
    "”对应的原照片（与 Quillmere 中导入的原照片一致）。";
inline constexpr std::string_view kLimitAlert = "每次最多接收 500 张照片。";
// A render over the largest a batch takes (512 MiB), refused as it is added.
inline constexpr std::string_view kRenderTooLarge = "单张导出照片不能超过 512 MiB。";
// A file that no batch can take: not a regular file, empty, or over 4 GiB.
inline constexpr std::string_view kPhotoNotAdmitted = "照片不可读取、为空或大于 4 GiB。";

inline constexpr std::string_view kDestinationPanelMessage =
    "选择保存位置；每次都会新建文件夹，不覆盖已有照片。";
inline constexpr std::string_view kBusyMessage = "正在准备照片，请稍候…";
// After a failed save: the window has stopped working, and the destination is as it was.
inline constexpr std::string_view kSaveFailedMessage = "保存未完成，保存文件夹没有改动。请按提示处理后再试。";
inline constexpr std::string_view kSavedBefore = "已保存 ";
inline constexpr std::string_view kSavedAfter =
    " 张。打开 Quillmere 项目，选择“调色版本”→“导入调色结果”，再选择刚生成的文件夹。"
    "旧版客户端也可用“导入照片”作为独立照片导入。";

// Beyond the fixed texts above: removing a render, pairing several originals by file name at
// once, a pairing whose names differ, and quitting while a save runs.
inline constexpr std::string_view kRemoveAction = "从列表中移除";
// Why pairing by name left a render waiting, in its row's tooltip; and the key that finds the next
// row still needing work.
inline constexpr std::string_view kNoNameMatch = "所选的原照片中没有与它同名的，请单独为它选择原照片。";
inline constexpr std::string_view kSeveralNameMatchesBefore = "所选的原照片中有多张与它同名：";
inline constexpr std::string_view kSeveralNameMatchesAfter = "。请从中选择一张。";
// A card shot RAW+JPEG: the raw was paired and the camera's picture of the same name set aside,
// in the row's tooltip; and the original panel's choices of file types.
inline constexpr std::string_view kRawPreferredBefore = "已选用同名的 RAW 原片，略过了相机直出的 ";
inline constexpr std::string_view kRawPreferredAfter = "。";
inline constexpr std::string_view kRawFilesFilter = "RAW 原片";
inline constexpr std::string_view kAllFilesFilter = "所有文件";
// The same, shortly, in the row itself where 请选择原照片 would stand.
inline constexpr std::string_view kNoNameMatchInRow = "没有同名的原照片，请单独选择";
inline constexpr std::string_view kSeveralNameMatchesInRow = "有多张同名的原照片：";
inline constexpr std::string_view kNextNeedingWork = "下一张待处理的照片";
inline constexpr std::string_view kPairedByNameBefore = "已按文件名配对 ";
inline constexpr std::string_view kPairedByNameMiddle = " 张照片；还有 ";
inline constexpr std::string_view kPairedByNameAfter = " 张尚未配对。";
inline constexpr std::string_view kPairedByNameAllDone = " 张照片；所有照片都已配对。";
// What the last removal, undo or pairing did, on the message line until the list changes again.
inline constexpr std::string_view kRemovedBefore = "已移除 ";
inline constexpr std::string_view kRemovedAfter = " 张导出的照片；按 Ctrl+Z 可撤销。";
inline constexpr std::string_view kRestoredBefore = "已撤销移除，";
inline constexpr std::string_view kRestoredAfter = " 张导出的照片回到了列表中。";
inline constexpr std::string_view kUnpairedBefore = "已撤销配对，";
inline constexpr std::string_view kUnpairedAfter = " 张照片恢复为之前的原照片。";
inline constexpr std::string_view kPairedBefore = "已将“";
inline constexpr std::string_view kPairedMiddle = "”与原照片“";
inline constexpr std::string_view kPairedAllDone = "”配对；所有照片都已配对。";
inline constexpr std::string_view kPairedLeftBefore = "”配对；还有 ";
inline constexpr std::string_view kNamesDiffer = "原照片与导出的照片文件名不同，请确认二者对应。";
// Quitting while a save runs: the question, and its two answers (going on is the safe one).
inline constexpr std::string_view kStopSavingQuestion =
    "照片正在保存。停止保存并退出吗？停止后已写入的内容将被删除。";
inline constexpr std::string_view kKeepSaving = "继续保存";
inline constexpr std::string_view kStopAndQuit = "停止并退出";
inline constexpr std::string_view kCancelling = "正在停止保存，未完成的内容将被删除，请稍候…";
// The question once the last save has ended while it was open: what became of each save, then
// whether to quit now.
inline constexpr std::string_view kSavedLineBefore = "已保存 ";
inline constexpr std::string_view kSavedLineAfter = " 张照片。";
inline constexpr std::string_view kFailedLine = "保存未完成，保存文件夹没有改动：";
inline constexpr std::string_view kQuitNowQuestion = "现在退出吗？";
inline constexpr std::string_view kQuitNow = "退出";
inline constexpr std::string_view kStayOpen = "暂不退出";
// Beyond as well: choices refused at the moment they are made, and undoing a removal.
inline constexpr std::string_view kOriginalIsRender =
    "这是列表中的导出照片，不能作为原照片；请选择 Quillmere 中导入的原照片。";
inline constexpr std::string_view kUndo = "撤销";
// The comparison view: the render and its original side by side, as large as the screen allows.
inline constexpr std::string_view kCompareAction = "对比查看";
inline constexpr std::string_view kCompareRender = "导出的照片";
inline constexpr std::string_view kCompareOriginal = "原照片";
inline constexpr std::string_view kCompareLoading = "正在载入…";
inline constexpr std::string_view kCompareNoPicture = "无法显示这张照片";
inline constexpr std::string_view kCompareHint =
    "← → 切换照片　Enter 选择原照片　Delete 移除　Ctrl+Z 撤销　Esc、空格或单击关闭";
// What a screen reader says of the window's parts (accessible names and descriptions).
inline constexpr std::string_view kPictureOfAfter = " 的缩略图";
inline constexpr std::string_view kTableName = "照片列表";
inline constexpr std::string_view kTableDescription =
    "每行是一张导出的照片和它对应的原照片。回车键选择原照片，空格键对比查看，Delete 键移除，"
    "Ctrl+Z 撤销上一次移除或配对。";
inline constexpr std::string_view kRenderColumnDescription = "从 Capture One 导出的照片";
inline constexpr std::string_view kSourceColumnDescription =
    "与 Quillmere 中导入的原照片一致的原照片";
inline constexpr std::string_view kHeadlineDescription = "窗口标题";
inline constexpr std::string_view kMessageName = "提示信息";
inline constexpr std::string_view kMessageDescription = "当前的操作说明和保存结果";
inline constexpr std::string_view kAddDescription = "添加从 Capture One 导出的 JPEG、TIFF 或 PNG 照片";
inline constexpr std::string_view kChooseDescription = "为选中的照片选择 Quillmere 中对应的原照片";
inline constexpr std::string_view kSaveDescription =
    "新建一个文件夹，保存全部照片及其对应关系，供 Quillmere 导入";
inline constexpr std::string_view kProgressName = "保存进度";
inline constexpr std::string_view kProgressDescription = "已处理的照片数和照片总数";
inline constexpr std::string_view kMenuBarName = "菜单栏";
inline constexpr std::string_view kMenuBarDescription = "按 F10 打开菜单";
inline constexpr std::string_view kPreviewName = "放大预览";
inline constexpr std::string_view kPreviewDescription = "指针所在行的导出照片和原照片";
inline constexpr std::string_view kCompareName = "对比查看";
inline constexpr std::string_view kCompareDescription =
    "左边是导出的照片，右边是原照片。方向键切换照片，Home、End 到第一张、最后一张，Enter 选择原照片，"
    "Delete 从列表中移除，Ctrl+Z 撤销，Esc、空格或单击关闭。";
inline constexpr std::string_view kNoOriginalDescription = "尚未选择原照片";
inline std::string pictureOf(std::string_view fileName) {
  return std::string(fileName) + std::string(kPictureOfAfter);
}
inline std::string savedMessage(std::int64_t count) {
  return std::string(kSavedBefore) + std::to_string(count) + std::string(kSavedAfter);
}
inline std::string removedMessage(std::size_t count) {
  return std::string(kRemovedBefore) + std::to_string(count) + std::string(kRemovedAfter);
}
inline std::string restoredMessage(std::size_t count) {
  return std::string(kRestoredBefore) + std::to_string(count) + std::string(kRestoredAfter);
}
inline std::string unpairedMessage(std::size_t count) {
  return std::string(kUnpairedBefore) + std::to_string(count) + std::string(kUnpairedAfter);
}
inline std::string pairedMessage(std::string_view render, std::string_view original,
                                 std::size_t left) {
  std::string text = std::string(kPairedBefore) + std::string(render) + std::string(kPairedMiddle) +
                     std::string(original);
  if (left == 0) return text + std::string(kPairedAllDone);
  return text + std::string(kPairedLeftBefore) + std::to_string(left) +
         std::string(kPairedByNameAfter);
}
inline std::string pairedByNameMessage(std::size_t paired, std::size_t left) {
  if (left == 0) {
    return std::string(kPairedByNameBefore) + std::to_string(paired) +
           std::string(kPairedByNameAllDone);
  }
  return std::string(kPairedByNameBefore) + std::to_string(paired) +
         std::string(kPairedByNameMiddle) + std::to_string(left) + std::string(kPairedByNameAfter);
}

// The one line window mode writes to standard error when no display can be opened.
inline constexpr std::string_view kNoDisplay =
    "无法打开图形界面的显示器；没有图形界面时，请使用请求模式：quillmere-bridge --request "
    "请求文件 结果文件。";

// The table's columns, in display order.
struct Column {
  std::string_view identifier;
  std::string_view title;
  double width;
};
inline constexpr std::string_view kRenderColumn = "render";
inline constexpr std::string_view kSourceColumn = "source";
inline constexpr std::array<Column, 2> kColumns{{
    {kRenderColumn, "导出的照片", 300.0},
    {kSourceColumn, "对应原照片", 300.0},
}};

// A text put together from its pieces, as the alerts and panels show it.
inline std::string joined(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const auto piece : pieces) text += piece;
  return text;
}

// The render file extensions the add panel offers, in this order.
inline constexpr std::array<std::string_view, 5> kRenderExtensions{"jpg", "jpeg", "png", "tif",
                                                                   "tiff"};

}  // namespace quillmere::texts
