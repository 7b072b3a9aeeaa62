#pragma once

#include "compare/comparefolders.h"
#include "compare/syncmemory.h"

#include <cstdint>
#include <vector>

// The names a way of syncing decides on: both lists and the memory of the
// last sync, merged in walk order.

// Where a name is not on a side or in the memory.
inline constexpr std::uint32_t kNotKnown = UINT32_MAX;

// One name as both sides and the memory know it.
struct KnownName
{
    std::uint32_t left = kNotKnown;
    std::uint32_t right = kNotKnown;
    std::uint32_t memory = kNotKnown;
};

// Every name of both lists and the memory, in walk order.
std::vector<KnownName> KnownNames(const Comparison &c, const SyncMemory &memory);
