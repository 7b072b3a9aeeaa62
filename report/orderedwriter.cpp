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

void WriteInOrder(Sink &sink, std::size_t count, const FormatRange &format)
{
    constexpr std::size_t kChunk = 8192;
    constexpr std::size_t kBytesPerItem = 256; // a JSON row of a long name
    const std::size_t chunks = (count + kChunk - 1) / kChunk;
    // Room for a chunk from the start: a text grown a doubling at a time
    // would be copied and faulted in over and over.
    const auto formatChunk = [&](std::size_t chunk, std::string &out) {
        out.reserve(out.size() + kChunk * kBytesPerItem);
        format(chunk * kChunk, std::min(count, (chunk + 1) * kChunk), out);
    };
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t lanes = std::min<std::size_t>({cores, 4, std::max<std::size_t>(chunks, 1)});

    struct Lane
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::string texts[2];
        bool full[2] = {false, false};
        std::exception_ptr failure;
        std::thread thread;
    };
    // Lane 0 is this thread's; a lane whose thread could not start is too.
    std::vector<std::unique_ptr<Lane>> helpers;
    std::atomic<bool> stop{false};
    const auto work = [&](Lane &lane, std::size_t firstChunk) {
        std::size_t n = 0;
        for (std::size_t chunk = firstChunk; chunk < chunks; chunk += lanes, ++n) {
            std::string text;
            {
                std::unique_lock<std::mutex> lock(lane.mutex);
                lane.changed.wait(lock, [&] { return !lane.full[n % 2] || stop; });
                if (stop)
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
    };
    struct Joiner
    {
        std::vector<std::unique_ptr<Lane>> &helpers;
        std::atomic<bool> &stop;
        ~Joiner()
        {
            stop = true;
            for (auto &lane : helpers) {
                {
                    const std::lock_guard<std::mutex> lock(lane->mutex);
                }
                lane->changed.notify_all();
                if (lane->thread.joinable())
                    lane->thread.join();
            }
        }
    } joiner{helpers, stop};
    for (std::size_t k = 1; k < lanes; ++k) {
        helpers.push_back(std::make_unique<Lane>());
        try {
            helpers.back()->thread = std::thread(work, std::ref(*helpers.back()), k);
        } catch (const std::system_error &) {
        }
    }

    std::vector<std::size_t> taken(helpers.size(), 0);
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        const std::size_t lane = chunk % lanes;
        if (lane == 0 || !helpers[lane - 1]->thread.joinable()) {
            formatChunk(chunk, sink.buffer());
            sink.maybeFlush();
            continue;
        }
        Lane &helper = *helpers[lane - 1];
        const std::size_t slot = taken[lane - 1]++ % 2;
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
}
