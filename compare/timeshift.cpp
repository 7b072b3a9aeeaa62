// Times on FAT and exFAT are local times: a stick written in one time zone
// and read in another (or across a change to summer time) reads every time
// shifted by the same whole hours. Recognised, the shift is undone when
// pairs are ordered, so that a stale copy never looks newer than an edit.

#include "compare/comparefolders.h"

#include "platform/settings.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>

namespace {

constexpr std::int64_t kHour = 3600;
// Time zones lie within 14 hours of UTC, so two readings within 26 hours.
constexpr std::int64_t kMostHours = 26;

// Whole hours by which local reads late (ahead) of other, negative for
// early, give or take slack seconds; 0 for none or any other difference.
std::int64_t hoursLate(const ResultRow &local, const ResultRow &other, std::int64_t slack)
{
    if (local.modified == platform::kNoTime || other.modified == platform::kNoTime)
        return 0;
    const std::int64_t late = local.modified - other.modified;
    if (late > kMostHours * kHour + slack || late < -kMostHours * kHour - slack)
        return 0;
    const std::int64_t hours = (late + (late < 0 ? -kHour / 2 : kHour / 2)) / kHour;
    return std::llabs(late - hours * kHour) <= slack ? hours : 0;
}

} // namespace

void FindTimeShift(Comparison &comparison)
{
    comparison.leftShift = comparison.rightShift = 0;
    // Both local (or neither): both are read in the same zone.
    if (comparison.leftLocalTimes == comparison.rightLocalTimes)
        return;
    const bool leftLocal = comparison.leftLocalTimes;
    // Whole seconds of the coarser step, at least one.
    const std::int64_t slack =
        std::max<std::int64_t>(1, std::max(comparison.leftResolution, comparison.rightResolution) / 1000000000);
    std::map<std::int64_t, std::size_t> byHours;
    std::size_t pairs = 0;
    ForEachPair(comparison, [&](ResultRow &left, ResultRow &right) {
        if (left.size != right.size || left.modified == platform::kNoTime || right.modified == platform::kNoTime)
            return;
        ++pairs;
        const std::int64_t hours = leftLocal ? hoursLate(left, right, slack) : hoursLate(right, left, slack);
        if (hours != 0)
            ++byHours[hours];
    });
    std::int64_t hours = 0;
    std::size_t most = 0;
    for (const auto &[h, count] : byHours) {
        if (count > most) {
            hours = h;
            most = count;
        }
    }
    // Most pairs, and enough of them that no chance of edits made whole
    // hours apart could explain it.
    if (most < kShiftEvidence || most * 4 < pairs * 3)
        return;
    (leftLocal ? comparison.leftShift : comparison.rightShift) = -hours * kHour;
}

std::string TimeShiftText(const Comparison &comparison)
{
    if (comparison.shiftStated || (comparison.leftShift == 0 && comparison.rightShift == 0))
        return {};
    const bool left = comparison.leftShift != 0;
    const std::int64_t shift = left ? comparison.leftShift : comparison.rightShift;
    const std::int64_t hours = std::llabs(shift) / kHour;
    return "times on " + (left ? comparison.leftRoot : comparison.rightRoot) + " read " + std::to_string(hours)
        + (hours == 1 ? " hour " : " hours ") + (shift < 0 ? "late" : "early") + "; this is allowed for";
}

std::optional<int> PairTimeShift(const std::string &left, const std::string &right)
{
    const QString text = platform::ReadPairSetting(QString::fromStdString(left), QString::fromStdString(right),
                                                   QStringLiteral("TimeShift"));
    bool ok = false;
    const int hours = text.trimmed().toInt(&ok);
    if (!ok || hours < -kMostHours || hours > kMostHours)
        return std::nullopt;
    return hours;
}
