#include "window/pair_preview.h"

#include <QApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "window_logic/window_texts.h"
#include "window/qt_text.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

namespace {

QSize previewBox() { return {layout::kPreviewSide, layout::kPreviewSide}; }

QLabel* pictureLabel() {
  auto* label = new QLabel;
  label->setFixedSize(previewBox());
  label->setAlignment(Qt::AlignCenter);
  return label;
}

QLabel* nameLabel() {
  auto* label = new QLabel;
  label->setTextFormat(Qt::PlainText);
  label->setFixedWidth(layout::kPreviewSide);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  return label;
}

// The tooltip showing now, on the screen; an empty rectangle when none is.
QRect shownTooltip() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && widget->inherits("QTipLabel")) return widget->frameGeometry();
  }
  return {};
}

constexpr int kGap = 8;

// Level with the row: its middle at the row's middle, within the screen.
int levelWithRow(const PreviewRoom& room, const QRect& area, int height) {
  const int y = room.row.center().y() - height / 2;
  return std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - height));
}

}  // namespace

PreviewPlace placePreview(const PreviewRoom& room, QSize chrome, int side, int smallest) {
  const QRect& area = room.area;
  // Above the header's lower edge, in the list's columns: the header, the message line and the
  // headline.
  const QRect above(QPoint(room.list.left(), std::min(area.top(), room.list.top())),
                    QPoint(room.list.right(), room.header.bottom()));
  const QRect clear[] = {above, room.row, room.buttons, room.tooltip};
  const auto fits = [&](const QRect& frame) {
    if (!area.contains(frame)) return false;
    return std::none_of(std::begin(clear), std::end(clear), [&](const QRect& kept) {
      return kept.isValid() && kept.intersects(frame);
    });
  };
  for (int s = side; s >= smallest; --s) {
    const QSize size = chrome + QSize(2 * s, s);
    const int w = size.width();
    const int h = size.height();
    // Beside the list, right then left; then over its right part as little as the screen allows,
    // then over its left part.
    const int xs[] = {room.list.right() + 1 + kGap, room.list.left() - kGap - w,
                      std::max(area.left(), area.right() + 1 - w), area.left()};
    // Level with the row, then just below or above it (or the tooltip), nearest the row first.
    std::vector<int> ys{levelWithRow(room, area, h), room.row.bottom() + 1 + kGap,
                        room.row.top() - kGap - h, room.header.bottom() + 1 + kGap,
                        area.bottom() + 1 - h};
    if (room.tooltip.isValid()) {
      ys.push_back(room.tooltip.bottom() + 1 + kGap);
      ys.push_back(room.tooltip.top() - kGap - h);
    }
    const int middle = room.row.center().y();
    std::stable_sort(ys.begin(), ys.end(), [&](int a, int b) {
      return std::abs(a + h / 2 - middle) < std::abs(b + h / 2 - middle);
    });
    for (const int x : xs) {
      for (const int y : ys) {
        if (fits(QRect(QPoint(x, y), size))) return {QRect(QPoint(x, y), size), s};
      }
    }
  }
  const QSize size = chrome + QSize(2 * smallest, smallest);
  const int x = std::max(area.left(), std::min(room.list.right() + 1, area.right() + 1) - size.width());
  const int y = std::clamp(room.header.bottom() + 1, area.top(),
                           std::max(area.top(), area.bottom() + 1 - size.height()));
  return {QRect(QPoint(x, y), size), smallest};
}

PairPreview::PairPreview(ThumbnailCache& pictures, QWidget* parent)
    : QFrame(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus |
                         Qt::WindowTransparentForInput),
      m_pictures(pictures),
      m_renderPicture(pictureLabel()),
      m_originalPicture(pictureLabel()),
      m_renderName(nameLabel()),
      m_originalName(nameLabel()) {
  setObjectName(QStringLiteral("pairPreview"));
  setAccessibleName(qText(texts::kPreviewName));
  setAccessibleDescription(qText(texts::kPreviewDescription));
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  // Not shown with the window, only when asked for.
  hide();
  m_renderPicture->setObjectName(QStringLiteral("renderPicture"));
  m_originalPicture->setObjectName(QStringLiteral("originalPicture"));
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(12, 12, 12, 12);
  grid->setHorizontalSpacing(12);
  grid->addWidget(m_renderPicture, 0, 0);
  grid->addWidget(m_originalPicture, 0, 1);
  grid->addWidget(m_renderName, 1, 0);
  grid->addWidget(m_originalName, 1, 1);
  connect(&m_pictures, &ThumbnailCache::pictureReady, this, [this](const QString& path) {
    if (isVisible() && (path == m_render || path == m_original)) refresh();
  });
}

void PairPreview::showPair(const QString& render, const QString& original,
                           const QString& originalName, PreviewRoom room) {
  m_render = render;
  m_original = original;
  m_renderNameText = QFileInfo(render).fileName();
  m_originalNameText = originalName;
  m_renderPicture->setAccessibleName(qText(texts::pictureOf(filePath(m_renderNameText))));
  m_originalPicture->setAccessibleName(
      original.isEmpty() ? qText(texts::kNoOriginalDescription)
                         : qText(texts::pictureOf(filePath(QFileInfo(original).fileName()))));
  QScreen* screen = QGuiApplication::screenAt(room.row.center());
  if (screen == nullptr && parentWidget() != nullptr) screen = parentWidget()->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  room.area = screen->availableGeometry();
  // A tooltip already showing (a row's reason, say) stays readable: the look keeps clear of it.
  if (!room.tooltip.isValid()) room.tooltip = shownTooltip();
  setSide(layout::kPreviewSide);
  const QSize full = sizeHint();
  const QSize chrome(full.width() - 2 * layout::kPreviewSide, full.height() - layout::kPreviewSide);
  const PreviewPlace place = placePreview(room, chrome);
  setSide(place.side);
  refresh();
  adjustSize();
  move(place.frame.topLeft());
  raise();
  show();
}

void PairPreview::setSide(int side) {
  m_side = side;
  m_renderPicture->setFixedSize(side, side);
  m_originalPicture->setFixedSize(side, side);
  m_renderName->setFixedWidth(side);
  m_originalName->setFixedWidth(side);
  // Names elided in the middle, so the number and the extension stay in sight.
  const auto elided = [side](QLabel* label, const QString& name) {
    label->setText(label->fontMetrics().elidedText(name, Qt::ElideMiddle, side));
  };
  elided(m_renderName, m_renderNameText);
  elided(m_originalName, m_originalNameText);
}

void PairPreview::refresh() {
  const auto show = [this](QLabel* label, const QString& path) {
    if (path.isEmpty()) {
      label->clear();
      return;
    }
    const qreal ratio = devicePixelRatioF();
    const auto [lookup, picture] = m_pictures.picture(path, previewBox(), ratio);
    if (lookup == ThumbnailCache::Lookup::ready) {
      // A made picture scaled down, when the window is too low for it (no file is read here).
      if (m_side == layout::kPreviewSide) {
        label->setPixmap(picture);
      } else {
        QPixmap smaller = picture.scaled(devicePixels(QSize(m_side, m_side), ratio),
                                         Qt::KeepAspectRatio, Qt::SmoothTransformation);
        smaller.setDevicePixelRatio(ratio);
        label->setPixmap(smaller);
      }
    } else if (lookup == ThumbnailCache::Lookup::none) {
      label->setPixmap(typeIcon(path, QSize(m_side, m_side) / 2, ratio));
    } else {
      label->clear();
    }
  };
  show(m_renderPicture, m_render);
  show(m_originalPicture, m_original);
}

}  // namespace quillmere
