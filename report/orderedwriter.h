#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// Collects output and hands it to stdio in large pieces: a million rows are
// written in a few hundred calls.
class Sink
{
public:
    explicit Sink(std::FILE *file) : m_file(file) { m_buffer.reserve(kChunk + 4096); }
    ~Sink() { flush(); }

    std::string &buffer() { return m_buffer; }
    void maybeFlush()
    {
        if (m_buffer.size() >= kChunk)
            flush();
    }
    void flush()
    {
        std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_buffer.clear();
    }
    void write(std::string_view text)
    {
        if (m_buffer.size() + text.size() <= kChunk) {
            m_buffer += text;
            return;
        }
        flush();
        std::fwrite(text.data(), 1, text.size(), m_file);
    }

private:
    static constexpr std::size_t kChunk = 1 << 20;
    std::FILE *m_file;
    std::string m_buffer;
};

// Formats the items first to last of a list, appending them to out.
using FormatRange = std::function<void(std::size_t first, std::size_t last, std::string &out)>;

// Formats count items in chunks on this thread and on helper threads, one
// lane of chunks each, and hands the texts to the sink in order: a report of
// millions of rows takes every core instead of one. Each helper formats at
// most two chunks ahead of the writer.
void WriteInOrder(Sink &sink, std::size_t count, const FormatRange &format);
