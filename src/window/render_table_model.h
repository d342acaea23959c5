#pragma once

#include <QAbstractTableModel>

namespace quillmere {

class BridgeApp;

// The table's data source: rows, cell texts and how the source cells are drawn come from
// BridgeApp, column titles and widths from the window's column table. reload() keeps the view's
// selection, as a table reloading its data does, while rows are only added: new rows are inserted
// and the rest repainted. After a removal the model is reset, and BridgeApp selects again. It
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
