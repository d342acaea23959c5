#include "window/pair_preview.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QScreen>

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

}  // namespace

PairPreview::PairPreview(ThumbnailCache& pictures, QWidget* parent)
    : QFrame(parent, Qt::ToolTip | Qt::FramelessWindowHint),
      m_pictures(pictures),
      m_renderPicture(pictureLabel()),
      m_originalPicture(pictureLabel()),
      m_renderName(nameLabel()),
      m_originalName(nameLabel()) {
  setObjectName(QStringLiteral("pairPreview"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setFrameShape(QFrame::Box);
  setAutoFillBackground(true);
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
                           const QString& originalName, QPoint anchor) {
  m_render = render;
  m_original = original;
  m_renderName->setText(QFileInfo(render).fileName());
  m_originalName->setText(originalName);
  refresh();
  adjustSize();
  QPoint position = anchor;
  if (const QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr) {
    const QRect area = screen->availableGeometry();
    position.setX(
        std::clamp(position.x(), area.left(), std::max(area.left(), area.right() - width())));
    position.setY(
        std::clamp(position.y(), area.top(), std::max(area.top(), area.bottom() - height())));
  }
  move(position);
  show();
}

void PairPreview::refresh() {
  const auto show = [this](QLabel* label, const QString& path) {
    if (path.isEmpty()) {
      label->clear();
      return;
    }
    const auto [lookup, picture] = m_pictures.picture(path, previewBox());
    if (lookup == ThumbnailCache::Lookup::ready) {
      label->setPixmap(picture);
    } else if (lookup == ThumbnailCache::Lookup::none) {
      label->setPixmap(typeIcon(path, previewBox() / 2));
    } else {
      label->clear();
    }
  };
  show(m_renderPicture, m_render);
  show(m_originalPicture, m_original);
}

}  // namespace quillmere
