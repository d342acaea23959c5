#include "window/render_table_model.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QSet>
#include <QStyle>

#include "ui/bridge_app.h"
#include "ui/window_texts.h"
#include "window/main_window.h"
#include "window/qt_text.h"
#include "window/thumbnail_cache.h"

namespace quillmere {

namespace {

constexpr int kColumnCount = static_cast<int>(texts::kColumns.size());

// A dark amber that reads as "look again" on light and dark table backgrounds alike.
constexpr QRgb kOtherNameColour = 0xb35900;

// The warning sign over the corner of a picture, when the original's name differs.
constexpr int kBadgeSize = 16;

QSize pictureBox() { return {layout::kPictureWidth, layout::kPictureHeight}; }

QPixmap withWarning(QPixmap picture) {
  const QIcon warning = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
  if (picture.isNull()) return warning.pixmap(pictureBox().height());
  QPainter painter(&picture);
  warning.paint(&painter, QRect(picture.width() - kBadgeSize, picture.height() - kBadgeSize,
                                kBadgeSize, kBadgeSize));
  return picture;
}

}  // namespace

RenderTableModel::RenderTableModel(const BridgeApp& app, ThumbnailCache& pictures, QObject* parent)
    : QAbstractTableModel(parent), m_app(app), m_pictures(pictures) {
  connect(&m_pictures, &ThumbnailCache::pictureReady, this, &RenderTableModel::pictureReady);
}

QPixmap RenderTableModel::picture(const std::string& path) const {
  const QString file = qPath(path);
  const auto [lookup, pixmap] = m_pictures.picture(file, pictureBox());
  if (lookup == ThumbnailCache::Lookup::ready) return pixmap;
  if (lookup == ThumbnailCache::Lookup::none) return typeIcon(file, pictureBox());
  return {};
}

QVariant RenderTableModel::sourceDecoration(const std::string& render, bool namesDiffer) const {
  const auto original = m_app.originals().find(render);
  if (original == m_app.originals().end()) return {};
  QPixmap shown = picture(original->second);
  // The picture matters most here: the warning goes over its corner rather than in its place.
  if (namesDiffer) shown = withWarning(std::move(shown));
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
  if (role == Qt::DisplayRole) return qText(m_app.cellText(row, column.identifier));
  const std::string& render = m_app.renders()[row];
  if (column.identifier == texts::kRenderColumn) {
    // The full path, for telling apart renders that share a file name.
    if (role == Qt::ToolTipRole) return qPath(render);
    if (role == Qt::DecorationRole) {
      const QPixmap shown = picture(render);
      if (!shown.isNull()) return shown;
    }
    return {};
  }
  // The source cell: its text stays as the rules say; how it is drawn tells a missing original
  // (muted, like a placeholder) and one whose name differs from the render's (amber, with a
  // warning sign and a tooltip saying so) from an ordinary pairing.
  const BridgeApp::SourceState state = m_app.sourceState(row);
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
    case Qt::ToolTipRole: {
      const auto original = m_app.originals().find(render);
      if (original == m_app.originals().end()) return {};
      if (state == BridgeApp::SourceState::otherName) {
        return qText(texts::kNamesDiffer) + QLatin1Char('\n') + qPath(original->second);
      }
      // The full path, for telling apart originals that share a file name.
      return qPath(original->second);
    }
    default:
      return {};
  }
}

QVariant RenderTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return {};
  }
  return qText(texts::kColumns[static_cast<std::size_t>(section)].title);
}

}  // namespace quillmere
