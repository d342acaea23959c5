#include "window/render_item_delegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <cmath>

#include "window/main_window.h"

namespace quillmere {

namespace {

// Space before the picture and between the picture and the name.
constexpr int kSlotInset = 4;
constexpr int kSlotGap = 8;
constexpr int kTextEndInset = 4;
// The focus frame's width; it runs along the row's edge, outside the picture's slot.
constexpr qreal kFrameWidth = 2.0;

double relativeLuminance(const QColor& colour) {
  const auto channel = [](double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  const QColor rgb = colour.toRgb();
  return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
         0.0722 * channel(rgb.blueF());
}

QPalette::ColorGroup groupOf(const QStyleOptionViewItem& option) {
  if (!(option.state & QStyle::State_Enabled)) return QPalette::Disabled;
  return (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
}

void drawPlaceholder(QPainter& painter, const QRect& slot, const QPalette& palette,
                     QPalette::ColorGroup group) {
  QColor fill = palette.color(group, QPalette::Text);
  fill.setAlphaF(0.07);
  QColor edge = palette.color(group, QPalette::Text);
  edge.setAlphaF(0.16);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(edge, 1.0));
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(slot).adjusted(0.5, 0.5, -0.5, -0.5), 3.0, 3.0);
  painter.restore();
}

}  // namespace

QRect RenderItemDelegate::pictureSlot(const QRect& cell) {
  return {cell.left() + kSlotInset, cell.top() + (cell.height() - layout::kPictureHeight) / 2,
          layout::kPictureWidth, layout::kPictureHeight};
}

QRect RenderItemDelegate::textArea(const QRect& cell) {
  const int left = pictureSlot(cell).right() + 1 + kSlotGap;
  return {left, cell.top(), std::max(0, cell.right() - kTextEndInset - left + 1), cell.height()};
}

double RenderItemDelegate::contrast(const QColor& a, const QColor& b) {
  const double la = relativeLuminance(a);
  const double lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor RenderItemDelegate::focusFrameColour(const QPalette& palette, QPalette::ColorGroup group,
                                            bool selected) {
  // The frame lies on the row's edge, between the row (the selection, or the table's background)
  // and the rows around it (the table's background): of the palette's text colours, black and
  // white, the one that stands out most from the one that resembles it more.
  const QColor row = palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
  const QColor around = palette.color(group, QPalette::Base);
  QColor best;
  double bestContrast = -1;
  for (const QColor& candidate :
       {palette.color(group, QPalette::Text), palette.color(group, QPalette::HighlightedText),
        QColor(Qt::black), QColor(Qt::white)}) {
    const double worst = std::min(contrast(candidate, row), contrast(candidate, around));
    if (worst > bestContrast) {
      best = candidate;
      bestContrast = worst;
    }
  }
  return best;
}

void RenderItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  const QPalette::ColorGroup group = groupOf(opt);
  const bool selected = (opt.state & QStyle::State_Selected) != 0;

  // The row's background and selection, as the style draws them, and nothing else.
  QStyleOptionViewItem background(opt);
  background.text.clear();
  background.icon = QIcon();
  background.features &=
      ~(QStyleOptionViewItem::HasDecoration | QStyleOptionViewItem::HasDisplay);
  background.state &= ~QStyle::State_HasFocus;
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

  // The picture as it is, never blended with the selection.
  const QRect slot = pictureSlot(opt.rect);
  const QPixmap picture = index.data(Qt::DecorationRole).value<QPixmap>();
  if (!picture.isNull()) {
    const QSize size = picture.deviceIndependentSize().toSize();
    const QPoint at(slot.left() + (slot.width() - size.width()) / 2,
                    slot.top() + (slot.height() - size.height()) / 2);
    painter->drawPixmap(at, picture);
  } else if (index.data(kPlaceholderRole).toBool()) {
    drawPlaceholder(*painter, slot, opt.palette, group);
  }

  // The name, elided in the middle so its start and its extension stay.
  const QRect text = textArea(opt.rect);
  painter->save();
  painter->setFont(opt.font);
  painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  const QString shown = QFontMetrics(opt.font).elidedText(opt.text, Qt::ElideMiddle, text.width());
  painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
  painter->restore();

  // The focused row's frame, across the row's cells: a line along the top and the bottom of each,
  // closed at the first and the last column.
  const auto* view = qobject_cast<const QAbstractItemView*>(widget);
  if (view != nullptr && view->hasFocus() && view->currentIndex().isValid() &&
      view->currentIndex().row() == index.row()) {
    painter->save();
    QPen pen(focusFrameColour(opt.palette, group, selected), kFrameWidth);
    pen.setCapStyle(Qt::FlatCap);
    painter->setPen(pen);
    painter->setRenderHint(QPainter::Antialiasing, false);
    const QRectF cell(opt.rect);
    const qreal along = kFrameWidth / 2;
    const bool first = index.column() == 0;
    const bool last = index.column() == index.model()->columnCount(index.parent()) - 1;
    const qreal left = first ? cell.left() + along : cell.left();
    const qreal right = last ? cell.right() + 1 - along : cell.right() + 1;
    const qreal top = cell.top() + along;
    const qreal bottom = cell.bottom() + 1 - along;
    const qreal half = kFrameWidth / 2;
    painter->drawLine(QPointF(left - (first ? half : 0), top), QPointF(right + (last ? half : 0), top));
    painter->drawLine(QPointF(left - (first ? half : 0), bottom),
                      QPointF(right + (last ? half : 0), bottom));
    if (first) painter->drawLine(QPointF(left, top), QPointF(left, bottom));
    if (last) painter->drawLine(QPointF(right, top), QPointF(right, bottom));
    painter->restore();
  }
}

QSize RenderItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const int textWidth = QFontMetrics(opt.font).horizontalAdvance(opt.text);
  return {kSlotInset + layout::kPictureWidth + kSlotGap + textWidth + kTextEndInset,
          layout::kRowHeight};
}

}  // namespace quillmere
