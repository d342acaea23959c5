#pragma once

#include <QAbstractTableModel>

namespace quillmere {

class BridgeApp;

// The table's data source: rows and cell texts come from BridgeApp, column titles and widths
// from the window's column table. reload() keeps the view's selection, as a table reloading its
// data does: renders are only ever added, so new rows are inserted and the rest repainted. It
// starts empty and reads nothing of BridgeApp before the first reload().
class RenderTableModel : public QAbstractTableModel {
 public:
  explicit RenderTableModel(const BridgeApp& app, QObject* parent = nullptr);

  void reload();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  const BridgeApp& m_app;
  int m_rows = 0;
};

}  // namespace quillmere
