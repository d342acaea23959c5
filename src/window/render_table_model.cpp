#include "window/render_table_model.h"

#include "window/qt_text.h"
#include "ui/bridge_app.h"
#include "ui/window_texts.h"

namespace quillmere {

namespace {

constexpr int kColumnCount = static_cast<int>(texts::kColumns.size());

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
  // The full path, for telling apart renders or originals that share a file name.
  if (role == Qt::ToolTipRole) {
    const std::string& render = m_app.renders()[row];
    if (column.identifier == texts::kRenderColumn) return qPath(render);
    const auto original = m_app.originals().find(render);
    if (original != m_app.originals().end()) return qPath(original->second);
  }
  return {};
}

QVariant RenderTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return {};
  }
  return qText(texts::kColumns[static_cast<std::size_t>(section)].title);
}

}  // namespace quillmere
