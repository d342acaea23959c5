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
}  // namespace layout

// A render and its original side by side, larger than in the table, so a pairing can be confirmed
// at a glance when the pointer rests on a row: a frame laid over the window next to the row (never
// over it), like a tooltip, that takes neither
// the focus nor the pointer (the table beneath keeps the hover, and the pointer reaches the next
// row through it). A child of the window rather than a window of its own, so that showing it never
// changes which window is active. The pictures come from the same background threads as the
// table's and appear as soon as they are ready.
class PairPreview : public QFrame {
 public:
  PairPreview(ThumbnailCache& pictures, QWidget* parent);

  // Shows this pair just below `row` (the row's rectangle in the parent's coordinates), or above
  // it when there is no room below, within the parent; an empty original means none has been
  // chosen yet. `originalName` is the source cell's text.
  void showPair(const QString& render, const QString& original, const QString& originalName,
                const QRect& row);
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
