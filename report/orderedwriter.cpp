#include "report/orderedwriter.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kChunk = 8192;
constexpr std::size_t kBytesPerItem = 256; // a JSON row of a long name

// The helper threads of one report: each formats every lanes-th chunk into
// one of two texts, at most two chunks ahead of the writer, who takes them
// in order. Lane 0 is the writer's own; so is a lane whose thread could not
// start.
class Lanes
{
public:
    Lanes(std::size_t count, const FormatRange &format)
        : m_count(count)
        , m_chunks((count + kChunk - 1) / kChunk)
        , m_format(format)
    {
        const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
        m_lanes = std::min<std::size_t>({cores, 4, std::max<std::size_t>(m_chunks, 1)});
        for (std::size_t k = 1; k < m_lanes; ++k) {
            m_helpers.push_back(std::make_unique<Lane>());
            try {
                m_helpers.back()->thread = std::thread([this, k] { work(*m_helpers[k - 1], k); });
            } catch (const std::system_error &) {}
        }
    }

    ~Lanes()
    {
        m_stop = true;
        for (auto &lane : m_helpers) {
            {
                const std::lock_guard<std::mutex> lock(lane->mutex);
            }
            lane->changed.notify_all();
            if (lane->thread.joinable())
                lane->thread.join();
        }
    }

    std::size_t chunks() const { return m_chunks; }

    // Appends the chunk's text to the sink: formatted here, or taken from its helper.
    void write(Sink &sink, std::size_t chunk)
    {
        const std::size_t lane = chunk % m_lanes;
        if (lane == 0 || !m_helpers[lane - 1]->thread.joinable()) {
            formatChunk(chunk, sink.buffer());
            sink.maybeFlush();
            return;
        }
        Lane &helper = *m_helpers[lane - 1];
        const std::size_t slot = helper.taken++ % 2;
        std::string text;
        {
            std::unique_lock<std::mutex> lock(helper.mutex);
            helper.changed.wait(lock, [&] { return helper.full[slot]; });
            if (helper.failure)
                std::rethrow_exception(helper.failure);
            text = std::move(helper.texts[slot]);
        }
        sink.write(text);
        {
            const std::lock_guard<std::mutex> lock(helper.mutex);
            helper.texts[slot] = std::move(text);
            helper.full[slot] = false;
        }
        helper.changed.notify_all();
    }

private:
    struct Lane
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::string texts[2];
        bool full[2] = {false, false};
        std::exception_ptr failure;
        std::thread thread;
        std::size_t taken = 0; // the writer's count, on the writer's thread
    };

    // Room for a chunk from the start: a text grown a doubling at a time
    // would be copied and faulted in over and over.
    void formatChunk(std::size_t chunk, std::string &out) const
    {
        out.reserve(out.size() + kChunk * kBytesPerItem);
        m_format(chunk * kChunk, std::min(m_count, (chunk + 1) * kChunk), out);
    }

    void work(Lane &lane, std::size_t firstChunk)
    {
        std::size_t n = 0;
        for (std::size_t chunk = firstChunk; chunk < m_chunks; chunk += m_lanes, ++n) {
            std::string text;
            {
                std::unique_lock<std::mutex> lock(lane.mutex);
                lane.changed.wait(lock, [&] { return !lane.full[n % 2] || m_stop; });
                if (m_stop)
                    return;
                text = std::move(lane.texts[n % 2]); // keeps its capacity
            }
            text.clear();
            std::exception_ptr failure;
            try {
                formatChunk(chunk, text);
            } catch (...) {
                failure = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(lane.mutex);
                lane.texts[n % 2] = std::move(text);
                lane.full[n % 2] = true;
                lane.failure = failure;
            }
            lane.changed.notify_all();
            if (failure)
                return;
        }
    }

    const std::size_t m_count;
    const std::size_t m_chunks;
    const FormatRange &m_format;
    std::size_t m_lanes = 1;
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<Lane>> m_helpers;
};

} // namespace

void WriteInOrder(Sink &sink, std::size_t count, const FormatRange &format)
{
    Lanes lanes(count, format);
    for (std::size_t chunk = 0; chunk < lanes.chunks(); ++chunk)
        lanes.write(sink, chunk);
}
