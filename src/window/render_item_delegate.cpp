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
constexpr int kFrameWidth = 2;

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
  for (QColor candidate :
       {palette.color(group, QPalette::Text), palette.color(group, QPalette::HighlightedText),
        QColor(Qt::black), QColor(Qt::white)}) {
    candidate.setAlpha(255);
    const double worst = std::min(contrast(candidate, row), contrast(candidate, around));
    if (worst > bestContrast) {
      best = candidate;
      bestContrast = worst;
    }
  }
  return best;
}

// The focused row's frame, across the row's cells: a line along the top and the bottom of each,
// closed at the first and the last column.
void RenderItemDelegate::drawFocusFrame(QPainter& painter, const QStyleOptionViewItem& opt,
                                        const QModelIndex& index, QPalette::ColorGroup group,
                                        bool selected) {
  const auto* view = qobject_cast<const QAbstractItemView*>(opt.widget);
  if (view == nullptr || !view->hasFocus() || !view->currentIndex().isValid() ||
      view->currentIndex().row() != index.row()) {
    return;
  }
  // Whole pixels, filled: a line of two pixels' width would be placed (and blended) by the
  // painter's rules for lines.
  // The table's palette, not the cell's: a cell's text colour may be its own (a muted one for a
  // missing original), and the frame is the row's.
  const QColor colour = focusFrameColour(view->palette(), group, selected);
  const int width = kFrameWidth;
  const QRect cell = opt.rect;
  painter.fillRect(QRect(cell.left(), cell.top(), cell.width(), width), colour);
  painter.fillRect(QRect(cell.left(), cell.bottom() + 1 - width, cell.width(), width), colour);
  if (index.column() == 0) {
    painter.fillRect(QRect(cell.left(), cell.top(), width, cell.height()), colour);
  }
  if (index.column() == index.model()->columnCount(index.parent()) - 1) {
    painter.fillRect(QRect(cell.right() + 1 - width, cell.top(), width, cell.height()), colour);
  }
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
  // A row pairing by name left waiting says why in place of the prompt, its end elided: the whole
  // reason is in the tooltip and on the message line while the row is selected.
  const QString reason = index.data(kReasonRole).toString();
  const QString shown =
      reason.isEmpty() ? QFontMetrics(opt.font).elidedText(opt.text, Qt::ElideMiddle, text.width())
                       : QFontMetrics(opt.font).elidedText(reason, Qt::ElideRight, text.width());
  painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
  painter->restore();

  drawFocusFrame(*painter, opt, index, group, selected);
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
