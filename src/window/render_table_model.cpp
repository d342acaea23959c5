#include "window/render_table_model.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QPalette>
#include <QStyle>

#include "ui/bridge_app.h"
#include "ui/window_texts.h"
#include "window/qt_text.h"

namespace quillmere {

namespace {

constexpr int kColumnCount = static_cast<int>(texts::kColumns.size());

// A dark amber that reads as "look again" on light and dark table backgrounds alike.
constexpr QRgb kOtherNameColour = 0xb35900;

}  // namespace

RenderTableModel::RenderTableModel(const BridgeApp& app, QObject* parent)
    : QAbstractTableModel(parent), m_app(app) {}

void RenderTableModel::reload() {
  const int rows = static_cast<int>(m_app.rowCount());
  if (rows < m_rows) {
    beginResetModel();
    m_rows = rows;
    endResetModel();
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
      if (state == BridgeApp::SourceState::otherName) {
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
      }
      return {};
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
