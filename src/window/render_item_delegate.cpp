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
// The focus frame's width.
constexpr qreal kFrameWidth = 2.0;
// Below this contrast with what lies under it, a colour does not stand out (WCAG's figure for
// graphical objects).
constexpr double kStandsOut = 3.0;

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
  const QColor under = palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
  // The palette's own colour where it stands out (the selection's text colour on a selected row,
  // the selection colour on another), else black or white, whichever stands out more.
  const QColor own = palette.color(group, selected ? QPalette::HighlightedText : QPalette::Highlight);
  if (contrast(own, under) >= kStandsOut) return own;
  const QColor white(Qt::white);
  const QColor black(Qt::black);
  return contrast(white, under) >= contrast(black, under) ? white : black;
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
    const qreal half = kFrameWidth / 2;
    const qreal top = cell.top() + half;
    const qreal bottom = cell.bottom() + 1 - half;
    painter->drawLine(QPointF(cell.left(), top), QPointF(cell.right() + 1, top));
    painter->drawLine(QPointF(cell.left(), bottom), QPointF(cell.right() + 1, bottom));
    if (index.column() == 0) {
      painter->drawLine(QPointF(cell.left() + half, top), QPointF(cell.left() + half, bottom));
    }
    if (index.column() == index.model()->columnCount(index.parent()) - 1) {
      painter->drawLine(QPointF(cell.right() + 1 - half, top),
                        QPointF(cell.right() + 1 - half, bottom));
    }
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
