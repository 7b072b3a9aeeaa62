#pragma once

#include "compare/global.h"

#include <QAbstractTableModel>

#include <string>
#include <vector>

// One row of the wizard's operation list: the texts of its three columns,
// native bytes, and the slot of the pending operation it shows. The rows are
// the wizard's own copy; what a Run command opens is what the row shows.
struct OperationRow
{
    std::string source;
    std::string action;
    std::string destination;
    int slot = 0;
};

// Adapts the rows to the list view; columns "Source", "Action", "Destination".
// Sorting reorders the wizard's own rows (a column of -1 restores the slot
// order); each row keeps its slot, and the rows a view has selected stay so.
class OperationModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit OperationModel(QObject *parent = nullptr);

    void setRows(std::vector<OperationRow> rows);
    const OperationRow &row(int index) const { return m_rows[index]; }
    // The header's tooltip, the same on every column.
    void setSummary(const QString &summary) { m_summary = summary; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    std::vector<OperationRow> m_rows;
    QString m_summary;
};

// What OK will do: "OK copies 38 files and replaces 12: 1.4 GB", from the
// operations in use and the sizes their sources had when compared.
QString OperationSummaryText(const PendingOperationList &operations);
