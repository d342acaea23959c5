#include "window/render_table_model.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QSet>
#include <QStyle>

#include "window_logic/bridge_app.h"
#include "window_logic/window_texts.h"
#include "window/main_window.h"
#include "platform/paths.h"
#include "window/qt_text.h"
#include "window/render_item_delegate.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

namespace {

constexpr int kColumnCount = static_cast<int>(texts::kColumns.size());

// A dark amber that reads as "look again" on light and dark table backgrounds alike.
constexpr QRgb kOtherNameColour = 0xb35900;

// The sign over the corner of a picture: a warning when the original's name differs, an error on
// the render of the pair a failed save found at fault.
constexpr int kBadgeSize = 16;

QSize pictureBox() { return {layout::kPictureWidth, layout::kPictureHeight}; }

QPixmap withBadge(QPixmap picture, QStyle::StandardPixmap sign, qreal ratio) {
  const QIcon badge = QApplication::style()->standardIcon(sign);
  if (picture.isNull()) return badge.pixmap(QSize(pictureBox().height(), pictureBox().height()), ratio);
  // Painted in device-independent pixels: the painter follows the picture's pixel ratio.
  const QSizeF size = picture.deviceIndependentSize();
  QPainter painter(&picture);
  badge.paint(&painter, QRect(static_cast<int>(size.width()) - kBadgeSize,
                              static_cast<int>(size.height()) - kBadgeSize, kBadgeSize, kBadgeSize));
  return picture;
}

}  // namespace

RenderTableModel::RenderTableModel(const BridgeApp& app, ThumbnailCache& pictures, QObject* parent)
    : QAbstractTableModel(parent), m_app(app), m_pictures(pictures) {
  connect(&m_pictures, &ThumbnailCache::pictureReady, this, &RenderTableModel::pictureReady);
}

void RenderTableModel::setDevicePixelRatio(qreal ratio) {
  if (ratio <= 0 || qFuzzyCompare(ratio, m_ratio)) return;
  m_ratio = ratio;
  if (m_rows > 0) {
    emit dataChanged(index(0, 0), index(m_rows - 1, kColumnCount - 1), {Qt::DecorationRole});
  }
}

QPixmap RenderTableModel::picture(const std::string& path) const {
  const QString file = qPath(path);
  const auto [lookup, pixmap] = m_pictures.picture(file, pictureBox(), m_ratio);
  if (lookup == ThumbnailCache::Lookup::ready) return pixmap;
  if (lookup == ThumbnailCache::Lookup::none) return typeIcon(file, pictureBox(), m_ratio);
  return {};
}

QVariant RenderTableModel::sourceDecoration(const std::string& render, bool namesDiffer) const {
  const auto original = m_app.originals().find(render);
  if (original == m_app.originals().end()) return {};
  QPixmap shown = picture(original->second);
  // The picture matters most here: the warning goes over its corner rather than in its place.
  if (namesDiffer) shown = withBadge(std::move(shown), QStyle::SP_MessageBoxWarning, m_ratio);
  if (shown.isNull()) return {};
  return shown;
}

void RenderTableModel::pictureReady(const QString& path) {
  const std::string file = filePath(path);
  for (int row = 0; row < m_rows; ++row) {
    const std::string& render = m_app.renders()[static_cast<std::size_t>(row)];
    if (render == file) emit dataChanged(index(row, 0), index(row, 0), {Qt::DecorationRole});
    const auto original = m_app.originals().find(render);
    if (original != m_app.originals().end() && original->second == file) {
      emit dataChanged(index(row, 1), index(row, 1), {Qt::DecorationRole});
    }
  }
}

void RenderTableModel::reload() {
  const int rows = static_cast<int>(m_app.rowCount());
  if (rows < m_rows) {
    beginResetModel();
    m_rows = rows;
    endResetModel();
    // The pictures of removed rows are no longer wanted.
    QSet<QString> listed;
    for (const std::string& render : m_app.renders()) listed.insert(qPath(render));
    for (const auto& [render, original] : m_app.originals()) listed.insert(qPath(original));
    m_pictures.retainOnly(listed);
    return;
  }
  if (rows > m_rows) {
    beginInsertRows({}, m_rows, rows - 1);
    m_rows = rows;
    endInsertRows();
  }
  if (m_rows > 0) emit dataChanged(index(0, 0), index(m_rows - 1, kColumnCount - 1));
}

int RenderTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_rows;
}

int RenderTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant RenderTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= m_rows || index.column() >= kColumnCount) return {};
  const auto row = static_cast<std::size_t>(index.row());
  const texts::Column& column = texts::kColumns[static_cast<std::size_t>(index.column())];
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
    return qText(m_app.cellText(row, column.identifier));
  }
  // A pair a failed save found at fault: both cells say why, as the alert did; a render pairing by
  // name left waiting says why too.
  if (role == Qt::ToolTipRole) {
    if (const auto fault = m_app.rowFault(row)) return qText(*fault);
    if (const auto reason = m_app.rowUnpairedReason(row)) return qText(*reason);
  }
  if (role == RenderItemDelegate::kFaultRole) return m_app.rowFault(row).has_value();
  if (role == RenderItemDelegate::kReasonRole) {
    if (column.identifier != texts::kSourceColumn) return {};
    const auto reason = m_app.rowUnpairedReasonInRow(row);
    return reason ? qText(*reason) : QVariant();
  }
  return column.identifier == texts::kRenderColumn ? renderData(row, role)
                                                   : sourceData(row, role);
}

QVariant RenderTableModel::renderData(std::size_t row, int role) const {
  const std::string& render = m_app.renders()[row];
  switch (role) {
    case Qt::ToolTipRole:
      // The full path, for telling apart renders that share a file name.
      return qPath(render);
    case Qt::DecorationRole: {
      QPixmap shown = picture(render);
      if (m_app.rowFault(row)) shown = withBadge(std::move(shown), QStyle::SP_MessageBoxCritical, m_ratio);
      if (shown.isNull()) return {};
      return shown;
    }
    case RenderItemDelegate::kPlaceholderRole:
      return true;
    case Qt::AccessibleDescriptionRole: {
      QString description = qText(texts::pictureOf(fileName(render)));
      if (const auto fault = m_app.rowFault(row)) description += QLatin1Char('\n') + qText(*fault);
      return description;
    }
    default:
      return {};
  }
}

// The source cell: its text stays as the rules say; how it is drawn tells a missing original
// (muted, like a placeholder) and one whose name differs from the render's (amber, with a warning
// sign and a tooltip saying so) from an ordinary pairing.
QVariant RenderTableModel::sourceData(std::size_t row, int role) const {
  const std::string& render = m_app.renders()[row];
  const BridgeApp::SourceState state = m_app.sourceState(row);
  const auto original = m_app.originals().find(render);
  const bool paired = original != m_app.originals().end();
  switch (role) {
    case Qt::ForegroundRole:
      if (state == BridgeApp::SourceState::missing) {
        return QApplication::palette().color(QPalette::PlaceholderText);
      }
      if (state == BridgeApp::SourceState::otherName) return QColor(kOtherNameColour);
      return {};
    case Qt::FontRole:
      if (state == BridgeApp::SourceState::missing) {
        QFont italic;
        italic.setItalic(true);
        return italic;
      }
      return {};
    case Qt::DecorationRole:
      return sourceDecoration(render, state == BridgeApp::SourceState::otherName);
    case RenderItemDelegate::kPlaceholderRole:
      return paired;
    case Qt::ToolTipRole:
      if (!paired) return {};
      if (state == BridgeApp::SourceState::otherName) {
        return qText(texts::kNamesDiffer) + QLatin1Char('\n') + qPath(original->second);
      }
      // A raw paired over the camera's picture of its name: which picture was set aside.
      if (const auto note = m_app.rowPairingNote(row)) {
        return qText(*note) + QLatin1Char('\n') + qPath(original->second);
      }
      // The full path, for telling apart originals that share a file name.
      return qPath(original->second);
    case Qt::AccessibleDescriptionRole: {
      if (!paired) {
        const auto reason = m_app.rowUnpairedReason(row);
        return qText(texts::kNoOriginalDescription) +
               (reason ? QLatin1Char('\n') + qText(*reason) : QString());
      }
      QString description = qText(texts::pictureOf(fileName(original->second)));
      if (state == BridgeApp::SourceState::otherName) {
        description += QLatin1Char('\n') + qText(texts::kNamesDiffer);
      }
      return description;
    }
    default:
      return {};
  }
}

QVariant RenderTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  const texts::Column& column = texts::kColumns[static_cast<std::size_t>(section)];
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return qText(column.title);
  if (role == Qt::AccessibleDescriptionRole) {
    return qText(column.identifier == texts::kRenderColumn ? texts::kRenderColumnDescription
                                                           : texts::kSourceColumnDescription);
  }
  return {};
}

}  // namespace quillmere
