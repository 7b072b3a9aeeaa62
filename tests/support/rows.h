#pragma once

// Rows of a comparison looked at by name, for the engine's tests.

#include "compare/resultrow.h"

#include <stdexcept>
#include <string>
#include <vector>

inline const ResultRow &RowNamed(const ResultRows &rows, const std::string &name)
{
    for (const ResultRow &r : rows)
        if (r.name() == name)
            return r;
    throw std::runtime_error("no row " + name);
}

inline std::vector<std::string> NamesOf(const ResultRows &rows)
{
    std::vector<std::string> result;
    for (const ResultRow &row : rows)
        result.emplace_back(row.name());
    return result;
}
