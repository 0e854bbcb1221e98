// The shortest edit script by Myers's O((N+M)D) search, printed as diff -u
// prints it.
#include "diff.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <vector>

namespace
{

using lines = std::vector<std::string_view>;

constexpr size_t k_context_lines = 3;

// Each line keeps its '\n', so that a last line without one differs from
// the same line with one, as it does for diff.
lines split_lines(std::string_view text)
{
    lines split;
    while (!text.empty()) {
        size_t end = text.find('\n');
        end = end == std::string_view::npos ? text.size() : end + 1;
        split.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return split;
}

// Marks the lines of a shortest edit script from a to b in removed and
// added; false when it changes more than k_diff_changed_lines_max lines.
bool mark_edit_script(const lines &a, const lines &b, std::vector<char> &removed,
                      std::vector<char> &added)
{
    constexpr int d_max = lanternctl::k_diff_changed_lines_max;
    if (a.size() > INT_MAX / 2 || b.size() > INT_MAX / 2)
        return false;
    const int n = int(a.size()), m = int(b.size());
    // Row d holds, for each diagonal k = x - y from -d to d, the furthest x
    // that d changes reach on it: (d + 1)^2 ints up to row d. A point past
    // the end of a text may be kept, but no path through one is shortest, so
    // the path that ends first at (n, m) stays within both texts.
    std::vector<int> trace;
    auto at = [&trace](int d, int k) -> int & { return trace[size_t(d * d + d + k)]; };
    // The diagonal of row d - 1 that one more change extends furthest along
    // k: k + 1 by an added line, k - 1 by a removed one.
    auto previous = [&at](int d, int k) {
        return k == -d || (k != d && at(d - 1, k - 1) < at(d - 1, k + 1)) ? k + 1 : k - 1;
    };
    for (int d = 0; d <= d_max; ++d) {
        size_t entries = size_t(d + 1) * size_t(d + 1);
        if (entries > trace.capacity())
            trace.reserve(std::min(2 * entries, size_t(d_max + 1) * size_t(d_max + 1)));
        trace.resize(entries);
        for (int k = -d; k <= d; k += 2) {
            int x = 0;
            if (d > 0) {
                int from_k = previous(d, k);
                x = at(d - 1, from_k) + (from_k == k - 1);
            }
            int y = x - k;
            while (x < n && y < m && a[size_t(x)] == b[size_t(y)])
                ++x, ++y;
            at(d, k) = x;
            if (x < n || y < m)
                continue;
            for (int c = d; c > 0; --c) {
                int p = previous(c, k);
                int px = at(c - 1, p);
                (p == k + 1 ? added[size_t(px - p)] : removed[size_t(px)]) = 1;
                k = p;
            }
            return true;
        }
    }
    return false;
}

void append_line(std::string &out, char mark, std::string_view line)
{
    out += mark;
    out += line;
    if (line.back() != '\n')
        out += "\n\\ No newline at end of file\n";
}

// An empty range is named by the line before it, as diff -u names it, so
// that patch can place a diff from an empty file.
void append_range(std::string &out, size_t start, size_t count)
{
    out += std::to_string(count == 0 ? start : start + 1);
    if (count != 1)
        out += ',' + std::to_string(count);
}

// A run of removed lines of a and added lines of b between common ones.
struct change {
    size_t a, b, removed, added;
};

} // namespace

namespace lanternctl
{

void append_unified_diff(std::string &out, std::string_view from, std::string_view to,
                         std::string_view from_label, std::string_view to_label)
{
    if (from == to)
        return;
    const lines a = split_lines(from), b = split_lines(to);
    std::vector<char> removed(a.size()), added(b.size());
    if (!mark_edit_script(a, b, removed, added)) {
        std::fill(removed.begin(), removed.end(), 1);
        std::fill(added.begin(), added.end(), 1);
    }
    std::vector<change> changes;
    for (size_t i = 0, j = 0; i < a.size() || j < b.size();) {
        if ((i < a.size() && removed[i]) || (j < b.size() && added[j])) {
            change c{i, j, 0, 0};
            for (; i < a.size() && removed[i]; ++i)
                ++c.removed;
            for (; j < b.size() && added[j]; ++j)
                ++c.added;
            changes.push_back(c);
        } else {
            ++i, ++j;
        }
    }

    out.append("--- ").append(from_label).append("\n+++ ").append(to_label) += '\n';
    for (size_t first = 0; first < changes.size();) {
        // Changes whose contexts would meet share one hunk.
        size_t last = first;
        while (last + 1 < changes.size() &&
               changes[last + 1].a - changes[last].a - changes[last].removed <= 2 * k_context_lines)
            ++last;
        const change &head = changes[first], &tail = changes[last];
        size_t before = std::min(k_context_lines, head.a);
        size_t after = std::min(k_context_lines, a.size() - tail.a - tail.removed);
        size_t a_start = head.a - before, b_start = head.b - before;
        out += "@@ -";
        append_range(out, a_start, tail.a + tail.removed + after - a_start);
        out += " +";
        append_range(out, b_start, tail.b + tail.added + after - b_start);
        out += " @@\n";
        size_t i = a_start;
        for (size_t c = first; c <= last; ++c) {
            for (; i < changes[c].a; ++i)
                append_line(out, ' ', a[i]);
            for (size_t r = 0; r < changes[c].removed; ++r)
                append_line(out, '-', a[changes[c].a + r]);
            for (size_t r = 0; r < changes[c].added; ++r)
                append_line(out, '+', b[changes[c].b + r]);
            i = changes[c].a + changes[c].removed;
        }
        for (; i < tail.a + tail.removed + after; ++i)
            append_line(out, ' ', a[i]);
        first = last + 1;
    }
}

} // namespace lanternctl
