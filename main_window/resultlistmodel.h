#pragma once

#include "compare/resultrow.h"

#include <QAbstractTableModel>

#include <vector>

// Adapts one result list's rows to a view: four columns (name, status, size,
// last modified), a check box and the status icon in the first column. Rows
// are replaced wholesale after each scan, so a million rows cost one reset,
// not a million insertions. Names stay native bytes; only display decodes them.
class ResultListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { FilenameColumn, StatusColumn, SizeColumn, ModifiedColumn, ColumnCount };

    explicit ResultListModel(QObject *parent = nullptr);

    void setRows(std::vector<ResultRow> rows);
    void clear();
    const std::vector<ResultRow> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    std::vector<ResultRow> m_rows;
};
