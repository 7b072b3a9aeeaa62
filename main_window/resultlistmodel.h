#pragma once

#include "compare/leaveout.h"
#include "compare/resultrow.h"

#include <QAbstractTableModel>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Adapts one result list's rows to a view: four columns (name, status, size,
// last modified), a check box and the status icon in the first column. Rows
// are replaced wholesale after each scan, so a million rows cost one reset,
// not a million insertions. Names stay native bytes; only display decodes them.
//
// The list may show the rows sorted by a column and filtered (differences
// only, names containing a text). The rows themselves never move: what is
// shown is a vector of row numbers into them, kept only while a sort or a
// filter is on. Model row numbers are positions in what is shown; rows()
// and rowNumber() lead back to the rows.
class ResultListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { FilenameColumn, StatusColumn, SizeColumn, ModifiedColumn, ColumnCount };

    struct StatusCounts
    {
        std::size_t none = 0, newer = 0, older = 0, notFound = 0, ok = 0;
    };

    explicit ResultListModel(QObject *parent = nullptr);

    // Replaces every row; they show in walk order again, through the filters
    // that are on. root is the folder the rows' names are relative to; notes
    // say, by row number, what the memory of the last sync knows of a row
    // (its tooltip).
    void setRows(ResultRows rows, std::string root = {}, std::unordered_map<std::uint32_t, std::string> notes = {});
    void clear();
    // Every row in walk order, shown or not.
    const ResultRows &rows() const { return m_rows; }
    std::size_t totalRows() const { return m_rows.size(); }
    const std::string &root() const { return m_root; }
    // The row shown at a position, its number in rows() and its full path.
    std::uint32_t rowNumber(int shown) const;
    const ResultRow &shownRow(int shown) const { return m_rows[rowNumber(shown)]; }
    std::string fullPath(int shown) const;
    // The rows of each status, shown or not.
    const StatusCounts &counts() const { return m_counts; }
    // What the scan of this side left out on purpose, for the header's tooltip.
    void setLeftOut(const LeftOut &leftOut) { m_leftOut = leftOut; }

    // A column number outside the columns (-1) restores the walk order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    // Hides the rows whose status is "OK".
    void setDifferencesOnly(bool on);
    bool differencesOnly() const { return m_differencesOnly; }
    // Shows only the rows whose name contains the text (see NameMatcher);
    // the empty text shows all.
    void setFindText(const QString &text);
    const QString &findText() const { return m_findText; }

    // The first shown position from `from` on, wrapping round, whose name
    // starts with the text; -1 when none does.
    int findName(const QString &prefix, int from) const;
    // The next shown position after `from` (before it, going back), wrapping
    // round, whose status is not "OK"; -1 when there is none. From -1 the
    // search starts at the first row (going back, at the last).
    int nextDifference(int from, bool forward) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

signals:
    // Around a change of order or filter: the same rows, shown otherwise (a
    // model reset comes between). Views keep their selection across it.
    void rowsAboutToBeRearranged();
    void rowsRearranged();
    // After setRows: the rows of a new comparison, in walk order.
    void rowsReplaced();

private:
    template<typename Change>
    void rearrange(Change change);
    void refilter();

    ResultRows m_rows;
    std::string m_root;
    std::unordered_map<std::uint32_t, std::string> m_notes;
    std::vector<std::uint32_t> m_order; // rows in sort order; empty for the walk order
    std::vector<std::uint32_t> m_shown; // rows shown, in order, while a filter is on
    bool m_filtered = false;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    bool m_differencesOnly = false;
    QString m_findText;
    StatusCounts m_counts;
    LeftOut m_leftOut;
};

// "Newer 12, Older 3, Not found 35, OK 19,950", in the locale's digit
// grouping (a comma where the locale has none, as in the C locale); rows
// without a status, when there are any, add "No status 2".
QString StatusCountsText(const ResultListModel::StatusCounts &counts);

// What the status "OK" tells, in the lists' header tooltip: the comparison
// goes by size alone once both sides have the file.
inline constexpr char kOkMeaning[] =
    "\"OK\": the file and its match have the same size, whatever their times "
    "(their contents are not compared).";
