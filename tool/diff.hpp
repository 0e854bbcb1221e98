// A unified diff of two texts, for the check that shows an include file
// against what enable would write in its place.
#pragma once

#include <string>
#include <string_view>

namespace lanternctl
{

// Beyond this many changed lines the shortest edit script is not searched
// for: its trace would outgrow a few MiB.
constexpr int k_diff_changed_lines_max = 1000;

// Appends to out the unified diff of from against to as `diff -u` prints it:
// "--- <from_label>" and "+++ <to_label>" (no dates), then its hunks with
// three lines of context; nothing when the texts are equal. Lines end after
// each '\n' and are compared byte for byte; a last line without one is
// followed by "\ No newline at end of file". An empty from diffs from
// nothing. The edit script is a shortest one up to k_diff_changed_lines_max
// changed lines; beyond, one hunk removes all of from and adds all of to.
// Throws only std::bad_alloc, and out may then hold part of the diff.
void append_unified_diff(std::string &out, std::string_view from, std::string_view to,
                         std::string_view from_label, std::string_view to_label);

} // namespace lanternctl
