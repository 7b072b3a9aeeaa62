#include "compare/knownnames.h"

#include <algorithm>
#include <numeric>

namespace {

// Row indices in walk order: the scan gives them so; rows made otherwise
// are put in it.
std::vector<std::uint32_t> walkOrder(const ResultRows &rows)
{
    std::vector<std::uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    bool sorted = true;
    for (std::size_t i = 1; i < rows.size() && sorted; ++i)
        sorted = WalkBefore(rows[i - 1].name(), rows[i].name());
    if (!sorted)
        std::stable_sort(order.begin(), order.end(), [&rows](std::uint32_t a, std::uint32_t b) {
            return WalkBefore(rows[a].name(), rows[b].name());
        });
    return order;
}

} // namespace

std::vector<KnownName> KnownNames(const Comparison &c, const SyncMemory &memory)
{
    const std::vector<std::uint32_t> left = walkOrder(c.left), right = walkOrder(c.right);
    std::vector<KnownName> all;
    all.reserve(std::max({left.size(), right.size(), memory.size()}));
    std::size_t i = 0, j = 0, k = 0;
    while (i < left.size() || j < right.size() || k < memory.size()) {
        std::string_view first;
        bool any = false;
        const auto consider = [&](bool has, std::string_view name) {
            if (has && (!any || WalkBefore(name, first))) {
                first = name;
                any = true;
            }
        };
        consider(i < left.size(), i < left.size() ? c.left[left[i]].name() : std::string_view());
        consider(j < right.size(), j < right.size() ? c.right[right[j]].name() : std::string_view());
        consider(k < memory.size(), k < memory.size() ? memory.name(k) : std::string_view());
        KnownName known;
        if (i < left.size() && c.left[left[i]].name() == first)
            known.left = left[i++];
        if (j < right.size() && c.right[right[j]].name() == first)
            known.right = right[j++];
        if (k < memory.size() && memory.name(k) == first)
            known.memory = std::uint32_t(k++);
        all.push_back(known);
    }
    return all;
}
