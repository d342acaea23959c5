#include "window/comparison_view.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QImage>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QSet>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "window_logic/window_texts.h"
#include "window/qt_text.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

namespace {

constexpr int kMargin = 24;
constexpr int kGap = 24;
// A neutral dark grey: nothing around the photos that would shift how their colours look.
constexpr QRgb kBackground = 0x202020;
constexpr QRgb kText = 0xe6e6e6;
constexpr QRgb kMutedText = 0xa0a0a0;

QLabel* label(const char* name, QRgb colour, qreal scale = 1.0) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(colour));
  label->setPalette(palette);
  if (scale != 1.0) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
  }
  return label;
}

QLabel* pictureLabel(const char* name) {
  QLabel* picture = label(name, kMutedText);
  picture->setAlignment(Qt::AlignCenter);
  // The picture's room is what the layout gives it, never what the pixmap asks for.
  picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  picture->setMinimumSize(1, 1);
  return picture;
}

}  // namespace

ThumbnailCache::Options ComparisonView::pictureOptions() {
  ThumbnailCache::Options options;
  // The pair shown and its two neighbours, at the size of a large screen at a density of 2.
  options.cacheBytes = qsizetype{96} << 20;
  options.onCanvas = false;
  options.timeLimit = std::chrono::milliseconds(4000);
  // Full pictures, far over the desktop thumbnail cache's sizes.
  options.desktopThumbnails = false;
  return options;
}

ComparisonView::ComparisonView(ThumbnailCache& pictures, QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::FramelessWindowHint),
      m_pictures(pictures),
      m_position(label("comparisonPosition", kText)),
      m_hint(label("comparisonHint", kMutedText)),
      m_renderPicture(pictureLabel("comparisonRenderPicture")),
      m_originalPicture(pictureLabel("comparisonOriginalPicture")),
      m_renderRole(label("comparisonRenderRole", kMutedText)),
      m_originalRole(label("comparisonOriginalRole", kMutedText)),
      m_renderName(label("comparisonRenderName", kText, 1.15)),
      m_originalName(label("comparisonOriginalName", kText, 1.15)) {
  setObjectName(QStringLiteral("comparisonView"));
  setWindowTitle(qText(texts::kCompareName));
  setAccessibleName(qText(texts::kCompareName));
  setAccessibleDescription(qText(texts::kCompareDescription));
  // Modal while open: the keys are its own, and nothing in the window changes underneath.
  setWindowModality(Qt::ApplicationModal);
  setFocusPolicy(Qt::StrongFocus);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(kBackground));
  palette.setColor(QPalette::WindowText, QColor(kText));
  setPalette(palette);
  setAutoFillBackground(true);

  m_hint->setText(qText(texts::kCompareHint));
  m_renderRole->setText(qText(texts::kCompareRender));
  m_originalRole->setText(qText(texts::kCompareOriginal));
  m_render = Side{m_renderPicture, m_renderRole, m_renderRole->text(), {}, false};
  m_original = Side{m_originalPicture, m_originalRole, m_originalRole->text(), {}, false};
  for (QLabel* caption : {m_renderRole, m_originalRole, m_renderName, m_originalName}) {
    caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // As high as a name in Latin and Chinese letters needs, whatever it shows: the pictures' room,
    // and so the size they are made at, never changes from one pair to the next.
    const QString shown = caption->text();
    caption->setText(QStringLiteral("DSC_1234 第三次调色.jpg"));
    caption->ensurePolished();
    caption->setFixedHeight(caption->sizeHint().height());
    caption->setText(shown);
  }

  auto* top = new QHBoxLayout;
  top->addWidget(m_position);
  top->addStretch(1);
  top->addWidget(m_hint);
  auto* sides = new QGridLayout;
  sides->setHorizontalSpacing(kGap);
  sides->setVerticalSpacing(4);
  sides->addWidget(m_renderPicture, 0, 0);
  sides->addWidget(m_originalPicture, 0, 1);
  sides->addWidget(m_renderName, 1, 0);
  sides->addWidget(m_originalName, 1, 1);
  sides->addWidget(m_renderRole, 2, 0);
  sides->addWidget(m_originalRole, 2, 1);
  sides->setRowStretch(0, 1);
  sides->setColumnStretch(0, 1);
  sides->setColumnStretch(1, 1);
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(kMargin, kMargin / 2, kMargin, kMargin);
  stack->setSpacing(kMargin / 2);
  stack->addLayout(top);
  stack->addLayout(sides, 1);

  connect(&m_pictures, &ThumbnailCache::pictureReady, this, [this](const QString& path) {
    if (isVisible() && (path == m_pair.render || path == m_pair.original)) refresh();
  });
  hide();
  // The window itself made now, not when Space is first pressed.
  static_cast<void>(winId());
  QTimer::singleShot(0, this, &ComparisonView::prepareWhenOwnerShown);
}

void ComparisonView::prepareWhenOwnerShown() {
  if (m_prepared) return;
  // Before the owner is up its own first paint comes first: the user sees the window, and the
  // view is prepared in the quiet after it.
  if (parentWidget() != nullptr && !parentWidget()->isVisible()) {
    QTimer::singleShot(100, this, &ComparisonView::prepareWhenOwnerShown);
    return;
  }
  QTimer::singleShot(0, this, &ComparisonView::prepare);
}

void ComparisonView::prepare() {
  if (m_prepared || isVisible()) return;
  m_prepared = true;
  fitScreen();
  // Painted once into an image of the screen's size: the style's polish, the layout, and the glyphs
  // of every caption in the faces they are shown in (a name's Chinese letters load a font of their
  // own) are then ready for the first opening. Captions that show only while open are set for it.
  const QString position = m_position->text();
  m_position->setText(QStringLiteral("1 / 2"));
  setName(m_renderName, QStringLiteral("DSC_1234 第三次调色.jpg"));
  setName(m_originalName, QStringLiteral("DSC_1234.CR3"));
  m_renderPicture->setText(qText(texts::kCompareLoading));
  m_originalPicture->setText(qText(texts::kCompareNoPicture));
  const qreal ratio = devicePixelRatioF();
  QImage canvas(size() * ratio, QImage::Format_ARGB32_Premultiplied);
  if (!canvas.isNull()) {
    canvas.setDevicePixelRatio(ratio);
    render(&canvas);
  }
  m_position->setText(position);
  for (QLabel* label : {m_renderName, m_originalName, m_renderPicture, m_originalPicture}) {
    label->clear();
  }
}

void ComparisonView::fitScreen() {
  QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen != nullptr && geometry() != screen->availableGeometry()) {
    setGeometry(screen->availableGeometry());
  }
  // Polished first (the style's fonts and margins), so that the size of the pictures asked for
  // now is the size they are shown at.
  ensurePolished();
  if (QLayout* stack = layout()) stack->activate();
}

void ComparisonView::prefetch(int row) {
  if (isVisible()) return;
  fitScreen();
  request(row);
}

void ComparisonView::request(int row) {
  const int count = rowCount ? rowCount() : 0;
  const QSize box = pictureBox();
  if (row < 0 || row >= count || box.isEmpty() || !pairAt) return;
  const qreal ratio = devicePixelRatioF();
  const Pair pair = pairAt(row);
  m_pictures.picture(pair.render, box, ratio);
  if (!pair.original.isEmpty()) m_pictures.picture(pair.original, box, ratio);
}

void ComparisonView::open(int row) {
  // Pictures of another opening are never kept over this one's.
  for (Side* side : {&m_render, &m_original}) {
    side->last = QPixmap();
    side->stale = false;
  }
  fitScreen();
  showRow(row);
  show();
  raise();
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

QSize ComparisonView::pictureBox() const {
  return m_renderPicture->size().boundedTo(m_originalPicture->size());
}

void ComparisonView::showRow(int row) {
  const int count = rowCount ? rowCount() : 0;
  if (row < 0 || row >= count || !pairAt) return;
  m_row = row;
  m_pair = pairAt(row);
  m_position->setText(QStringLiteral("%1 / %2").arg(row + 1).arg(count));
  const QString renderName = QFileInfo(m_pair.render).fileName();
  setName(m_renderName, renderName);
  setName(m_originalName, m_pair.originalName);
  m_renderPicture->setAccessibleName(qText(texts::pictureOf(filePath(renderName))));
  m_originalPicture->setAccessibleName(
      m_pair.original.isEmpty()
          ? qText(texts::kNoOriginalDescription)
          : qText(texts::pictureOf(filePath(QFileInfo(m_pair.original).fileName()))));
  // What is still waiting for another row is no longer wanted.
  QSet<QString> wanted;
  for (int near : {row - 1, row + 1, row}) {
    if (near < 0 || near >= count) continue;
    const Pair pair = near == row ? m_pair : pairAt(near);
    wanted.insert(pair.render);
    if (!pair.original.isEmpty()) wanted.insert(pair.original);
  }
  m_pictures.retainOnly(wanted);
  m_complete = false;
  refresh();
  if (rowShown) rowShown(row);
}

void ComparisonView::setName(QLabel* label, const QString& name) {
  // Elided in the middle: the file's number at the start and its extension at the end stay.
  const int width = std::max(1, pictureBox().width());
  label->setText(label->fontMetrics().elidedText(name, Qt::ElideMiddle, width));
  label->setToolTip(name);
}

bool ComparisonView::showSide(Side& side, const QString& path, bool missing) {
  const auto final = [&side](const QPixmap& shown) {
    side.last = shown;
    side.stale = false;
    side.role->setText(side.roleText);
    if (shown.isNull()) {
      side.picture->clear();
    } else {
      side.picture->setPixmap(shown);
    }
    return true;
  };
  if (missing) {
    final({});
    side.picture->setText(qText(texts::kNoOriginal));
    return true;
  }
  const QSize box = pictureBox();
  if (box.isEmpty()) return false;
  const qreal ratio = devicePixelRatioF();
  const auto [lookup, pixmap] = m_pictures.picture(path, box, ratio);
  switch (lookup) {
    case ThumbnailCache::Lookup::ready:
      return final(pixmap);
    case ThumbnailCache::Lookup::none: {
      // An original that is no image shows its type; an image that gives no picture says so.
      const QPixmap icon = typeIcon(path, QSize(128, 128), ratio);
      final(icon);
      if (icon.isNull()) side.picture->setText(qText(texts::kCompareNoPicture));
      return true;
    }
    case ThumbnailCache::Lookup::pending:
      break;
  }
  if (side.last.isNull()) {
    side.picture->setText(qText(texts::kCompareLoading));
    return false;
  }
  // The last picture stays until this one is in, dimmed so that it is never taken for it, and its
  // caption says why.
  if (!side.stale) {
    QPixmap dimmed(side.last.size());
    dimmed.setDevicePixelRatio(side.last.devicePixelRatio());
    dimmed.fill(QColor(kBackground));
    QPainter painter(&dimmed);
    painter.setOpacity(0.35);
    painter.drawPixmap(0, 0, side.last);
    painter.end();
    side.picture->setPixmap(dimmed);
    side.role->setText(side.roleText + QStringLiteral(" · ") + qText(texts::kCompareLoading));
    side.stale = true;
  }
  return false;
}

void ComparisonView::refresh() {
  if (m_row < 0) return;
  const bool renderDone = showSide(m_render, m_pair.render, false);
  const bool originalDone = showSide(m_original, m_pair.original, m_pair.original.isEmpty());
  const bool wasComplete = m_complete;
  m_complete = renderDone && originalDone;
  if (!m_complete || wasComplete) return;
  // Only now the neighbours: the threads are the row shown's alone until it is complete.
  prefetchNeighbours();
  if (complete) complete();
}

void ComparisonView::prefetchNeighbours() {
  for (int near : {m_row + 1, m_row - 1}) request(near);
}

void ComparisonView::showAgain(int row) {
  const int count = rowCount ? rowCount() : 0;
  if (count == 0) {
    close();
    return;
  }
  showRow(std::clamp(row, 0, count - 1));
}

bool ComparisonView::step(int key) {
  const int count = rowCount ? rowCount() : 0;
  switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Up:
      showRow(m_row - 1);
      return true;
    case Qt::Key_Right:
    case Qt::Key_Down:
      showRow(m_row + 1);
      return true;
    case Qt::Key_Home:
      if (m_row != 0) showRow(0);
      return true;
    case Qt::Key_End:
      if (m_row != count - 1) showRow(count - 1);
      return true;
    default:
      return false;
  }
}

void ComparisonView::keyPressEvent(QKeyEvent* event) {
  // Each hook may open a panel or an alert over the view; the view then shows what became of the
  // row.
  const auto act = [this](const std::function<void(int)>& hook) {
    const int row = m_row;
    if (hook && row >= 0) hook(row);
    if (isVisible()) showAgain(row);
  };
  if (event->matches(QKeySequence::Undo)) {
    if (undoRequested) undoRequested();
    return;
  }
  if (event->modifiers() != Qt::NoModifier && event->modifiers() != Qt::KeypadModifier) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Space:
      close();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      act(pairRequested);
      return;
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
      act(removeRequested);
      return;
    default:
      if (!step(event->key())) QWidget::keyPressEvent(event);
  }
}

void ComparisonView::mousePressEvent(QMouseEvent* event) {
  event->accept();
  close();
}

void ComparisonView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // Pictures of pairs no longer looked at are not made.
  m_pictures.dropPending();
  if (closed) closed();
}

void ComparisonView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!isVisible() || m_row < 0) return;
  setName(m_renderName, QFileInfo(m_pair.render).fileName());
  setName(m_originalName, m_pair.originalName);
  refresh();
}

}  // namespace quillmere
