#include "compare/resultrow.h"

#include "platform/datetime.h"

#include <charconv>

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
