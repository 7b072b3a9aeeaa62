#pragma once

#include "platform/filesystem.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One row of a result list: a file found by the scan, named by its path
// relative to the scanned root (native bytes, subfolders joined by the native
// separator). The size and time are kept as numbers and shown as texts; the
// status and icon are set by the comparison.
enum class Status : std::uint8_t { None, Newer, Older, NotFound, OK };

// Icon numbers: positions in the status image list, counted from 1.
enum Icon : std::uint8_t { NoIcon = 0, NewerIcon = 1, OlderIcon = 2, NotFoundIcon = 4 };

class ResultRows;

// What reading both files of a pair of equal size found; Unknown until read.
enum class Contents : std::uint8_t { Unknown, Same, Different };

// 32 bytes: a list of a million files keeps its rows in 32 MB and its names
// beside them, each once (see ResultRows).
struct ResultRow
{
    std::int64_t size = -1;                    // -1: the size could not be read
    std::int64_t modified = platform::kNoTime; // whole seconds since 1970 UTC
    std::uint32_t modifiedNanos = 0;           // within that second
    Status status = Status::None;
    std::uint8_t icon = NoIcon;
    bool checked = true;
    Contents contents = Contents::Unknown; // set on both rows of a pair

    // The path relative to the root. It lives in the names of the list that
    // holds the row, so a row copied out of its list names something only
    // while that list (or a copy of it) lives. A row made on its own has an
    // empty name; ResultRows::add names one.
    std::string_view name() const
    {
        const auto length = static_cast<unsigned char>(m_name[0]);
        if (length < kLongName)
            return {m_name + 1, length};
        std::uint32_t longLength;
        std::memcpy(&longLength, m_name + 1, sizeof longLength);
        return {m_name + 1 + sizeof longLength, longLength};
    }

private:
    friend class ResultRows;
    friend class RowNames;
    // A stored name starts with its length: one byte below kLongName, else
    // kLongName and four bytes.
    static constexpr unsigned char kLongName = 255;
    const char *m_name = "";
};

// Names of rows, stored one after another in blocks that never move, so
// that a row names its file with one pointer. Copies share the blocks (a
// stored name never changes); whoever holds a block keeps it.
class RowNames
{
public:
    RowNames() = default;
    RowNames(const RowNames &other) : m_blocks(other.m_blocks) {}
    RowNames &operator=(const RowNames &other);
    RowNames(RowNames &&other) noexcept { *this = std::move(other); }
    RowNames &operator=(RowNames &&other) noexcept;

    // The bytes a name takes when stored.
    static std::size_t storedSize(std::size_t length) { return length + (length < ResultRow::kLongName ? 1 : 5); }

    // Room for names of these many bytes in all (storedSize of each) in
    // one block, so that a folder's names take one allocation.
    void reserve(std::size_t bytes);
    // The same room, taken from the block source writes into, which these
    // names then share: the names of many folders fill large blocks.
    void reserveFrom(RowNames &source, std::size_t bytes);
    // Stores prefix + name as one name and points row at it.
    void name(ResultRow &row, std::string_view prefix, std::string_view name);
    // Keeps the blocks of other alive as long as these names, for rows
    // moved here from there.
    void share(const RowNames &other);
    void clear();

private:
    void grow(std::size_t needed, std::size_t first, std::size_t most);

    std::vector<std::shared_ptr<char[]>> m_blocks;
    char *m_free = nullptr; // in a block only this object writes
    std::size_t m_left = 0;
    std::size_t m_lastBlock = 0; // blocks grow with the list, up to a limit
};

// The rows of one result list, in list order, with their names: a name costs
// its bytes and one more, where a string of its own per row cost a pointer,
// a length, a capacity and a block of the heap. The rows lie in one block
// that grows in place where the system can move pages rather than copy
// them. A copy shares the names and copies the rows.
class ResultRows
{
public:
    using iterator = ResultRow *;
    using const_iterator = const ResultRow *;

    ResultRows() = default;
    ~ResultRows();
    ResultRows(const ResultRows &other);
    ResultRows &operator=(const ResultRows &other);
    ResultRows(ResultRows &&other) noexcept;
    ResultRows &operator=(ResultRows &&other) noexcept;

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    ResultRow &operator[](std::size_t i) { return m_rows[i]; }
    const ResultRow &operator[](std::size_t i) const { return m_rows[i]; }
    ResultRow &back() { return m_rows[m_size - 1]; }
    iterator begin() { return m_rows; }
    iterator end() { return m_rows + m_size; }
    const_iterator begin() const { return m_rows; }
    const_iterator end() const { return m_rows + m_size; }

    // Appends a row named name, with the other fields of fields; returns it.
    ResultRow &add(std::string_view name, const ResultRow &fields = {});
    // Appends a row named prefix + name; names() may have room reserved.
    ResultRow &add(std::string_view prefix, std::string_view name, const ResultRow &fields);
    // Moves the rows of other after these; other is left empty.
    void append(ResultRows &&other);
    // Keeps the first count rows.
    void truncate(std::size_t count) { m_size = std::min(m_size, count); }
    void reserve(std::size_t rows);
    void clear();

    RowNames &names() { return m_names; }

private:
    ResultRow *m_rows = nullptr; // a platform::ResizeBlock
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
    RowNames m_names;
};

// "Newer", "Older", "Not found", "OK" or empty.
const char *StatusText(Status status);

// "1234 bytes", or empty when the size could not be read.
std::string SizeText(const ResultRow &row);

// The local last-modified text, or empty when the time could not be read.
std::string ModifiedText(const ResultRow &row);

// The same two texts appended to out, for reports of millions of rows.
void AppendSizeText(std::string &out, const ResultRow &row);
void AppendModifiedText(std::string &out, const ResultRow &row);
