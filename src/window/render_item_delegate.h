#pragma once

#include <QPalette>
#include <QRect>
#include <QStyledItemDelegate>

namespace quillmere {

// Draws the table's cells: the row's background (and its selection), a slot for the file's
// picture, the file's name elided in the middle, and a frame around the focused row.
//
// - True colours: the selection is shown on the background and the text only. The picture is
//   drawn as it is, so a picture in a selected row has exactly the pixels it has in any other.
// - A calm row: the picture's slot is the same from the first paint on, whether the picture has
//   come, is on its way (a placeholder of the slot's size) or will never come, so names never move.
// - The focused row has a frame of its own colour, chosen to stand out from what lies under it
//   (the selection) and from the rows around it, in light and dark palettes alike.
class RenderItemDelegate : public QStyledItemDelegate {
 public:
  // Whether a cell without a picture shows the placeholder in its slot (a file that has none, or
  // not yet); a cell without a file (no original chosen) leaves its slot empty.
  static constexpr int kPlaceholderRole = Qt::UserRole + 1;
  // Whether the cell's row is the pair a failed save found at fault (its tooltip then says why,
  // and nothing holds that tooltip back).
  static constexpr int kFaultRole = Qt::UserRole + 2;
  // Why a cell's row is still without an original, drawn in place of the cell's text (which stays
  // its accessible text); empty for every other cell. Nothing holds that row's tooltip back.
  static constexpr int kReasonRole = Qt::UserRole + 3;

  using QStyledItemDelegate::QStyledItemDelegate;

  // Where the picture of a cell goes, and where its text.
  static QRect pictureSlot(const QRect& cell);
  static QRect textArea(const QRect& cell);
  // The colour of the focused row's frame over a selected row or an unselected one.
  static QColor focusFrameColour(const QPalette& palette, QPalette::ColorGroup group,
                                 bool selected);
  // How much two colours differ in lightness, as WCAG's contrast ratio (1 to 21).
  static double contrast(const QColor& a, const QColor& b);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  static void drawFocusFrame(QPainter& painter, const QStyleOptionViewItem& opt,
                             const QModelIndex& index, QPalette::ColorGroup group, bool selected);
};

}  // namespace quillmere
