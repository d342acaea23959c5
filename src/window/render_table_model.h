#pragma once

#include <QAbstractTableModel>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <string>

namespace quillmere {

class BridgeApp;
class ThumbnailCache;

// The table's data source: rows, cell texts and how the source cells are drawn come from
// BridgeApp, column titles and widths from the window's column table. reload() keeps the view's
// selection, as a table reloading its data does, while rows are only added: new rows are inserted
// and the rest repainted. After a removal the model is reset, and BridgeApp selects again. It
// starts empty and reads nothing of BridgeApp before the first reload().
//
// Each cell shows a small picture of its file before the name, asked of `pictures` as the view
// draws the cell (so the rows in sight come first) and drawn once it is ready, made at the
// screen's device pixel ratio; an original that is no image shows the desktop's icon for its type
// instead. A row a failed save found at fault carries a sign on its render's picture and the
// failure's text as the tooltip of both its cells. Every cell and column title has an accessible
// name and description in Chinese.
class RenderTableModel : public QAbstractTableModel {
 public:
  RenderTableModel(const BridgeApp& app, ThumbnailCache& pictures, QObject* parent = nullptr);

  void reload();
  // The device pixel ratio of the screen the table is on; pictures are made for it.
  void setDevicePixelRatio(qreal ratio);
  qreal devicePixelRatio() const { return m_ratio; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  // The picture of a cell's file, when ready.
  QPixmap picture(const std::string& path) const;
  QVariant sourceDecoration(const std::string& render, bool namesDiffer) const;
  QVariant renderData(std::size_t row, int role) const;
  QVariant sourceData(std::size_t row, int role) const;
  // Repaints the cells showing this file.
  void pictureReady(const QString& path);

  const BridgeApp& m_app;
  ThumbnailCache& m_pictures;
  int m_rows = 0;
  qreal m_ratio = 1.0;
};

}  // namespace quillmere
