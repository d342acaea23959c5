#pragma once

#include <QFrame>
#include <QPoint>
#include <QString>

class QLabel;

namespace quillmere {

class ThumbnailCache;

namespace layout {
// The larger look at a pair: each picture fits a square of this side.
inline constexpr int kPreviewSide = 256;
}  // namespace layout

// A render and its original side by side, larger than in the table, so a pairing can be confirmed
// at a glance: a floating frame, like a tooltip, that takes no focus. The pictures come from the
// same background threads as the table's and appear as soon as they are ready.
class PairPreview : public QFrame {
 public:
  PairPreview(ThumbnailCache& pictures, QWidget* parent);

  // Shows this pair with its top-left corner at `anchor` (global coordinates), moved to stay on
  // the screen; an empty original means none has been chosen yet. `originalName` is the source
  // cell's text.
  void showPair(const QString& render, const QString& original, const QString& originalName,
                QPoint anchor);
  const QString& render() const { return m_render; }
  const QString& original() const { return m_original; }

 private:
  // Shows whatever is ready of the two pictures; asks for the rest.
  void refresh();

  ThumbnailCache& m_pictures;
  QLabel* m_renderPicture;
  QLabel* m_originalPicture;
  QLabel* m_renderName;
  QLabel* m_originalName;
  QString m_render;
  QString m_original;
};

}  // namespace quillmere
