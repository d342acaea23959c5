#pragma once

#include <QFrame>
#include <QRect>
#include <QString>

class QLabel;

namespace quillmere {

class ThumbnailCache;

namespace layout {
// The larger look at a pair: each picture fits a square of this side.
inline constexpr int kPreviewSide = 256;
// The pictures never shrink below this, even where the screen is small.
inline constexpr int kSmallestPreviewSide = 128;
}  // namespace layout

// What the larger look must find room around, all on the screen: the screen's available area, the
// list, its column header, the row under the pointer (as wide as the list), the row of buttons,
// and a tooltip showing now (an empty rectangle when none is).
struct PreviewRoom {
  QRect area;
  QRect list;
  QRect header;
  QRect row;
  QRect buttons;
  QRect tooltip;
};

// Where the larger look goes and the side of its pictures; `chrome` is what the look adds to its
// two pictures (margins, spacing, the names below them). The largest side, up to `side`, that
// has a place: beside the list, to its right or else to its left, level with the row as far as
// the screen allows; else over the list's right part (or its left), as near the row as it can be.
// It never covers the header or anything above it in the list's columns, the row, the buttons or
// the tooltip, and stays on the screen. Only where no place fits even the least side does it take
// that side over the list's right part, just below the header.
struct PreviewPlace {
  QRect frame;
  int side = 0;
};
PreviewPlace placePreview(const PreviewRoom& room, QSize chrome,
                          int side = layout::kPreviewSide,
                          int smallest = layout::kSmallestPreviewSide);

// A render and its original side by side, larger than in the table, so a pairing can be confirmed
// at a glance when the pointer rests on a row: a window of the tooltip kind where placePreview
// finds room, beside the list or over its right part, never over the row, the column titles, the
// headline or the buttons. Like a tooltip it takes neither the focus, nor the
// activation, nor the pointer: a click meant for the list always reaches it. The pictures come
// from the same background threads as the table's and appear as soon as they are ready.
class PairPreview : public QFrame {
 public:
  PairPreview(ThumbnailCache& pictures, QWidget* parent);

  // Shows this pair where placePreview finds room on the screen of `room.row` (whose area it fills
  // in, and where a tooltip showing now is taken into account too); an empty original means none
  // has been chosen yet. `originalName` is the source cell's text.
  void showPair(const QString& render, const QString& original, const QString& originalName,
                PreviewRoom room);
  const QString& render() const { return m_render; }
  const QString& original() const { return m_original; }

 private:
  // Shows whatever is ready of the two pictures; asks for the rest.
  void refresh();
  // The side of the square each picture is shown in.
  void setSide(int side);

  ThumbnailCache& m_pictures;
  QLabel* m_renderPicture;
  QLabel* m_originalPicture;
  QLabel* m_renderName;
  QLabel* m_originalName;
  QString m_render;
  QString m_original;
  QString m_renderNameText;
  QString m_originalNameText;
  int m_side = layout::kPreviewSide;
};

}  // namespace quillmere
