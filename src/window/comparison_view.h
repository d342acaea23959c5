#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>

#include "window/thumbnail_cache.h"

class QLabel;

namespace quillmere {

// The render and its original side by side, as large as the screen's available area allows, to
// compare them: each picture fitted to half of it, its name under it elided in the middle so the
// number and the extension stay. A window of its own over the main window, modal while it is
// open, opened by Space on a row or a double click on a picture. Left and Right (and Up and Down)
// step through the pairs, Home and End go to the first and the last, the table following; Enter
// pairs the pair shown, Delete takes it off the list and Ctrl+Z undoes either; Escape, Space or a
// click closes it.
//
// Pictures come from `pictures`, made in the background from reduced decodes of the render and the
// largest preview the original carries; the view never waits for one. Until a side's picture is
// in, the last picture shown there stays, dimmed and captioned as on its way (a key held down
// never blanks the screen), or a line says it is on its way when there was none. The pairs next to the one shown are asked for once its
// pictures are in, so stepping on finds them ready without ever delaying the pair in sight.
class ComparisonView : public QWidget {
 public:
  // One row's pair: the render, its original (empty when none has been chosen) and the original's
  // cell text.
  struct Pair {
    QString render;
    QString original;
    QString originalName;
  };

  ComparisonView(ThumbnailCache& pictures, QWidget* owner);
  // How the cache of the view's pictures is set up: a few comparisons' worth of large pictures,
  // as they come out rather than on a canvas, each allowed a little longer than the table's.
  static ThumbnailCache::Options pictureOptions();

  // Where the pairs come from, and who hears of the view moving to a row or closing.
  std::function<int()> rowCount;
  std::function<Pair(int row)> pairAt;
  std::function<void(int row)> rowShown;
  std::function<void()> closed;
  // Enter, Delete and Ctrl+Z on the pair shown; the view then shows `row()` again, or closes when
  // no pair is left.
  std::function<void(int row)> pairRequested;
  std::function<void(int row)> removeRequested;
  std::function<void()> undoRequested;
  // Both pictures of the row shown are on screen (or will never come); for the benchmark.
  std::function<void()> complete;

  // Shows the view over the available area of the owner's screen, at this row.
  void open(int row);
  // Lays the view out at the screen's size and paints it once, hidden, so that its first opening
  // finds its fonts, glyphs and layout ready. Done by itself once the owner has been shown and its
  // events are handled; at most once.
  void prepare();
  // Asks for this row's pictures ahead, at the size the view would show them, so that opening the
  // view on it finds them made (the table does this for the row selected a moment).
  void prefetch(int row);
  int row() const { return m_row; }
  // Shows this row (within the list) after the list or its pairings changed; closes the view when
  // the list is empty.
  void showAgain(int row);
  // Whether a side still shows the last row's picture while its own is on its way.
  bool isRenderStale() const { return m_render.stale; }
  bool isOriginalStale() const { return m_original.stale; }
  // The box each picture is fitted into, in device-independent pixels.
  QSize pictureBox() const;
  // Whether both pictures of the row shown have arrived, or will never come.
  bool isComplete() const { return m_complete; }

  QLabel* renderPicture() const { return m_renderPicture; }
  QLabel* originalPicture() const { return m_originalPicture; }
  QLabel* renderName() const { return m_renderName; }
  QLabel* originalName() const { return m_originalName; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void showRow(int row);
  // Takes the size of the available area of the owner's screen, shown or not.
  void fitScreen();
  // Asks for a row's two pictures.
  void request(int row);
  // Shows what is ready of the two pictures, asks for the rest and for the neighbours' after.
  void refresh();
  // What one side shows: its picture, its caption, and the last picture that was final there.
  struct Side {
    QLabel* picture;
    QLabel* role;
    QString roleText;
    QPixmap last;
    bool stale = false;
  };
  // One side: the picture, the last one kept dimmed or a line while it is on its way, or why there
  // is none. True when that side is final.
  bool showSide(Side& side, const QString& path, bool missing);
  // Steps the pair shown; `key` decides which.
  bool step(int key);
  void setName(QLabel* label, const QString& name);
  // Asks for the pictures of the rows before and after the one shown.
  void prefetchNeighbours();
  // Prepares the view once the owner is on screen, checking again a little later until it is.
  void prepareWhenOwnerShown();

  ThumbnailCache& m_pictures;
  QLabel* m_position;
  QLabel* m_hint;
  QLabel* m_renderPicture;
  QLabel* m_originalPicture;
  QLabel* m_renderRole;
  QLabel* m_originalRole;
  QLabel* m_renderName;
  QLabel* m_originalName;
  Side m_render;
  Side m_original;
  Pair m_pair;
  int m_row = -1;
  bool m_complete = false;
  bool m_prepared = false;
};

}  // namespace quillmere
