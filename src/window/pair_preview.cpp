#include "window/pair_preview.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QScreen>
#include <algorithm>

#include "ui/window_texts.h"
#include "window/qt_text.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

namespace {

// The pictures never shrink below this, even where the window is low.
constexpr int kSmallestSide = 128;

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

}  // namespace

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
                           const QString& originalName, const QRect& row, const QRect& list) {
  m_render = render;
  m_original = original;
  m_renderNameText = QFileInfo(render).fileName();
  m_originalNameText = originalName;
  m_renderPicture->setAccessibleName(qText(texts::pictureOf(filePath(m_renderNameText))));
  m_originalPicture->setAccessibleName(
      original.isEmpty() ? qText(texts::kNoOriginalDescription)
                         : qText(texts::pictureOf(filePath(QFileInfo(original).fileName()))));
  QScreen* screen = QGuiApplication::screenAt(row.center());
  if (screen == nullptr && parentWidget() != nullptr) screen = parentWidget()->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  constexpr int kGap = 8;
  setSide(layout::kPreviewSide);
  const QSize full = sizeHint();
  const QSize chrome(full.width() - 2 * layout::kPreviewSide, full.height() - layout::kPreviewSide);
  const int right = list.right() + 1 + kGap;
  const int roomRight = area.right() + 1 - right;
  const int roomLeft = list.left() - kGap - area.left();
  const bool toRight = roomRight >= full.width() || roomRight >= roomLeft;
  // Full size where the screen has room beside the list; smaller (down to a least size) where it
  // has less; only where not even that fits does it lie over the list, below the headline.
  const int tallest = area.height() - chrome.height();
  const int besideSide = std::min({layout::kPreviewSide, tallest,
                                   (std::max(roomRight, roomLeft) - chrome.width()) / 2});
  const bool beside = besideSide >= kSmallestSide;
  setSide(beside ? besideSide : std::clamp(tallest, kSmallestSide, layout::kPreviewSide));
  refresh();
  adjustSize();
  int x = toRight ? right : list.left() - kGap - width();
  int top = area.top();
  if (!beside) {
    x = std::max(area.left(), std::min(list.right() + 1, area.right() + 1) - width());
    top = std::max(area.top(), std::min(list.top(), area.bottom() + 1 - height()));
  }
  // Level with the row: its middle at the row's middle, within the screen.
  int y = row.center().y() - height() / 2;
  y = std::clamp(y, top, std::max(top, area.bottom() + 1 - height()));
  move(x, y);
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
