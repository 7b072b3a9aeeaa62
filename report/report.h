#pragma once

#include "compare/comparefolders.h"
#include "report/jsonwriter.h"
#include "report/textescape.h"
#include "report/timetext.h"
#include "sync/syncoperations.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Text and JSON reports of a comparison, for the command-line tool. Every
// text is the one the window shows; JSON strings carry names that are not
// valid UTF-8 with replacement characters.

// Writes the whole comparison as one JSON object. Each row carries "bytes"
// (absent when the size could not be read) and "mtime" (absent when the time
// could not be read) beside the texts; each side "unreadable", the count and
// the first few of what could not be read. Every operation of the plan is
// listed, each with "replaces" (and its former name "delete_first").
void WriteJsonReport(std::FILE *out, const Comparison &comparison, const SyncPlan &plan);

// Why a pair in Comparison::unordered has no operation.
inline const char kUnorderedReason[] =
    "they differ in size but have the same modification time, so which is newer cannot be told";

// Why a pair in Comparison::futureDated has no operation.
inline const char kFutureReason[] = "one of them is dated in the future, so which is newer cannot be trusted";

// The pairs that cannot be ordered, as the JSON member "conflicts" of the
// object open in json: each pair's two full paths and the reason.
void AppendJsonConflicts(JsonWriter &json, const Comparison &comparison);

// The way of syncing and what it and the memory of the last sync decided:
// "mode", "from", counts and "memory_notes" in the object open in json.
void AppendJsonMode(JsonWriter &json, const ModeOutcome &mode);
// The same as text lines; nothing for newest wins with nothing to say.
void AppendTextMode(std::string &out, const ModeOutcome &mode);
// The shift taken for one side's times, as the JSON member "time_shift":
// the side, the hours its times read late (negative: early), whether the
// user stated it, and the note when it was found; nothing without a shift.
void AppendJsonTimeShift(JsonWriter &json, const Comparison &comparison);

// The same as text, one "  CONFLICT: " line a pair.
void AppendTextConflicts(std::string &out, const Comparison &comparison);

// What each side's scan left out on purpose, as the JSON member "left_out"
// ({"left": {"hidden": N, "patterns": N}, "right": ...}), and as one line
// of text (none when nothing was left out).
void AppendJsonLeftOut(JsonWriter &json, const Comparison &comparison);
void AppendTextLeftOut(std::string &out, const Comparison &comparison);

// Writes both lists and the pending operations as aligned text: every row
// with allRows, else only rows that differ (any status but "OK"); then what
// could not be read, and every operation of the plan. Names are escaped for
// a terminal.
void WriteTextReport(std::FILE *out, const Comparison &comparison, const SyncPlan &plan, bool allRows = false);
