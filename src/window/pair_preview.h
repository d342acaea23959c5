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
// at a glance when the pointer rests on a row: a window of the tooltip kind beside the list, level
// with the row, so that it covers neither the row, nor the rows around it, nor the headline, and
// keeps its full size wherever the row is. Like a tooltip it takes neither the focus, nor the
// activation, nor the pointer: a click meant for the list always reaches it. The pictures come
// from the same background threads as the table's and appear as soon as they are ready.
class PairPreview : public QFrame {
 public:
  PairPreview(ThumbnailCache& pictures, QWidget* parent);

  // Shows this pair beside `list` (its rectangle on the screen), to its right where the screen has
  // room, else on the side with more, level with `row` (the row's rectangle on the screen) as far
  // as the screen allows, at full size where the room allows and smaller (to a least size) where
  // it is short; an empty original means none has been chosen yet. `originalName` is the source
  // cell's text. Only where not even the least size fits beside the list does it lie over the
  // list's right part, below the headline.
  void showPair(const QString& render, const QString& original, const QString& originalName,
                const QRect& row, const QRect& list);
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
