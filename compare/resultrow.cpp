#include "compare/resultrow.h"

#include "platform/datetime.h"
#include "platform/memory.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

static_assert(sizeof(ResultRow) == 32, "a million rows a side must stay within their memory");

RowNames &RowNames::operator=(const RowNames &other)
{
    if (this != &other) {
        m_blocks = other.m_blocks;
        m_free = nullptr;
        m_left = 0;
    }
    return *this;
}

RowNames &RowNames::operator=(RowNames &&other) noexcept
{
    if (this != &other) {
        m_blocks = std::move(other.m_blocks);
        m_free = std::exchange(other.m_free, nullptr);
        m_left = std::exchange(other.m_left, 0);
        m_lastBlock = std::exchange(other.m_lastBlock, 0);
        other.m_blocks.clear();
    }
    return *this;
}

void RowNames::reserve(std::size_t bytes)
{
    if (bytes <= m_left)
        return;
    // Large blocks are mappings of their own, in huge pages where the
    // system gives them: a million names fault in a few dozen pages.
    constexpr std::size_t kMapped = std::size_t(1) << 20;
    if (bytes >= kMapped) {
        char *block = static_cast<char *>(platform::ResizeBlock(nullptr, 0, bytes));
        if (!block)
            throw std::bad_alloc();
        m_blocks.emplace_back(block, [bytes](char *p) { platform::FreeBlock(p, bytes); });
    } else {
        m_blocks.push_back(std::make_shared_for_overwrite<char[]>(bytes));
    }
    m_free = m_blocks.back().get();
    m_left = bytes;
}

void RowNames::grow(std::size_t needed, std::size_t first, std::size_t most)
{
    // Small lists take small blocks; long ones few allocations.
    m_lastBlock = std::clamp(m_lastBlock * 2, first, most);
    reserve(std::max(needed, m_lastBlock));
}

void RowNames::reserveFrom(RowNames &source, std::size_t bytes)
{
    if (bytes == 0)
        return;
    if (bytes > source.m_left)
        source.grow(bytes, std::size_t(64) << 10, std::size_t(4) << 20);
    if (m_blocks.empty() || m_blocks.back() != source.m_blocks.back())
        m_blocks.push_back(source.m_blocks.back());
    m_free = source.m_free;
    m_left = bytes;
    source.m_free += bytes;
    source.m_left -= bytes;
}

void RowNames::name(ResultRow &row, std::string_view prefix, std::string_view name)
{
    const std::size_t length = prefix.size() + name.size();
    const std::size_t stored = storedSize(length);
    if (stored > m_left)
        grow(stored, 4096, std::size_t(1) << 20);
    char *at = m_free;
    if (length < ResultRow::kLongName) {
        *at++ = char(length);
    } else {
        *at++ = char(ResultRow::kLongName);
        const auto longLength = std::uint32_t(length);
        std::memcpy(at, &longLength, sizeof longLength);
        at += sizeof longLength;
    }
    if (!prefix.empty())
        std::memcpy(at, prefix.data(), prefix.size());
    if (!name.empty())
        std::memcpy(at + prefix.size(), name.data(), name.size());
    row.m_name = m_free;
    m_free += stored;
    m_left -= stored;
}

void RowNames::share(const RowNames &other)
{
    for (const auto &block : other.m_blocks)
        if (m_blocks.empty() || m_blocks.back() != block) // folders one after another often share one
            m_blocks.push_back(block);
}

void RowNames::clear()
{
    m_blocks.clear();
    m_free = nullptr;
    m_left = 0;
    m_lastBlock = 0;
}

static_assert(std::is_trivially_copyable_v<ResultRow>, "rows are moved by realloc");

ResultRows::~ResultRows()
{
    platform::FreeBlock(m_rows, m_capacity * sizeof(ResultRow));
}

ResultRows::ResultRows(const ResultRows &other) : m_names(other.m_names)
{
    reserve(other.m_size);
    if (other.m_size > 0)
        std::memcpy(m_rows, other.m_rows, other.m_size * sizeof(ResultRow));
    m_size = other.m_size;
}

ResultRows &ResultRows::operator=(const ResultRows &other)
{
    if (this != &other) {
        ResultRows copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ResultRows::ResultRows(ResultRows &&other) noexcept
    : m_rows(std::exchange(other.m_rows, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_capacity(std::exchange(other.m_capacity, 0)), m_names(std::move(other.m_names))
{
}

ResultRows &ResultRows::operator=(ResultRows &&other) noexcept
{
    if (this != &other) {
        platform::FreeBlock(m_rows, m_capacity * sizeof(ResultRow));
        m_rows = std::exchange(other.m_rows, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_names = std::move(other.m_names);
    }
    return *this;
}

void ResultRows::reserve(std::size_t rows)
{
    if (rows <= m_capacity)
        return;
    // A list of a million rows never holds two copies of itself while it
    // grows, nor faults its pages in twice.
    void *grown = platform::ResizeBlock(m_rows, m_capacity * sizeof(ResultRow), rows * sizeof(ResultRow));
    if (!grown)
        throw std::bad_alloc();
    m_rows = static_cast<ResultRow *>(grown);
    m_capacity = rows;
}

ResultRow &ResultRows::add(std::string_view name, const ResultRow &fields)
{
    return add({}, name, fields);
}

ResultRow &ResultRows::add(std::string_view prefix, std::string_view name, const ResultRow &fields)
{
    if (m_size == m_capacity)
        reserve(std::max<std::size_t>(16, m_capacity * 2));
    ResultRow &row = m_rows[m_size++];
    row = fields;
    m_names.name(row, prefix, name);
    return row;
}

void ResultRows::append(ResultRows &&other)
{
    if (m_size == 0) {
        *this = std::move(other);
        return;
    }
    if (m_size + other.m_size > m_capacity)
        reserve(std::max(m_size + other.m_size, m_capacity * 2));
    if (other.m_size > 0)
        std::memcpy(m_rows + m_size, other.m_rows, other.m_size * sizeof(ResultRow));
    m_size += other.m_size;
    m_names.share(other.m_names);
    other.clear();
}

void ResultRows::clear()
{
    platform::FreeBlock(m_rows, m_capacity * sizeof(ResultRow));
    m_rows = nullptr;
    m_size = m_capacity = 0;
    m_names.clear();
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::Newer: return "Newer";
    case Status::Older: return "Older";
    case Status::NotFound: return "Not found";
    case Status::OK: return "OK";
    case Status::None: break;
    }
    return "";
}

std::string SizeText(const ResultRow &row)
{
    std::string text;
    AppendSizeText(text, row);
    return text;
}

std::string ModifiedText(const ResultRow &row)
{
    std::string text;
    AppendModifiedText(text, row);
    return text;
}

void AppendSizeText(std::string &out, const ResultRow &row)
{
    if (row.size < 0)
        return;
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, row.size).ptr;
    out.append(digits, end);
    out += " bytes";
}

void AppendModifiedText(std::string &out, const ResultRow &row)
{
    if (row.modified != platform::kNoTime)
        platform::AppendLocalTimeText(out, row.modified);
}
