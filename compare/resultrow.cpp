#include "compare/resultrow.h"

#include "platform/datetime.h"

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
    if (row.size < 0)
        return std::string();
    return std::to_string(row.size) + " bytes";
}

std::string ModifiedText(const ResultRow &row)
{
    if (row.modified == platform::kNoTime)
        return std::string();
    return platform::LocalTimeText(row.modified);
}
