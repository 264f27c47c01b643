// The comparison as text for a person and as JSON for a script.
#include "compare/compare_runs.h"

#include "outputs/printf_text.h"
#include "rules/time_units.h"

#include <cmath>
#include <cstdio>

namespace skelv {

using nlohmann::json;

namespace {


// Milliseconds to the microsecond, as result.json has them.
double ms3(int64_t ns)
{
    return std::round(ms_of(ns) * 1000) / 1000;
}

double rounded(double value, double unit)
{
    const double r = std::round(value / unit) * unit;
    return r == 0 ? 0 : r; // never "-0"
}

std::string signed_ms(int64_t ns)
{
    return printf_text("%+.1f", rounded(ms_of(ns), 0.1));
}

json optional_ms(const std::optional<int64_t>& ns)
{
    return ns ? json(ms3(*ns)) : json(nullptr);
}

std::string verdicts_text(const std::map<std::string, size_t>& verdicts)
{
    std::string text;
    for (const auto& [verdict, count] : verdicts)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + verdict;
    return text.empty() ? "no results" : text;
}

std::string counted(size_t count, const char* what)
{
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

std::string side_line(const char* name, const SideFigures& s)
{
    std::string line = std::string(name) + ": " + counted(s.runs, "result") + ", " + counted(s.delays_ns.size(), "event");
    if (s.median_ns)
        line += ", median delay " + signed_ms(*s.median_ns) + " ms";
    if (s.mean_drift_ms_per_min)
        line += printf_text(", drift %+.2f ms/min", rounded(*s.mean_drift_ms_per_min, 0.01));
    line += printf_text(", dropped %.2f %%, repeated %.2f %% of frames", 100 * s.drop_rate(), 100 * s.repeat_rate());
    return line + " (" + verdicts_text(s.verdicts) + ")\n";
}

std::string shift_line(const DelayShift& s)
{
    // The rank interval covers at least 95 %; a handful of delays cannot reach that.
    const double coverage = s.coverage >= 0.95 ? 95 : std::floor(s.coverage * 100);
    return "Delay B - A: " + signed_ms(s.estimate_ns) + " ms (" + printf_text("%.0f", coverage) + " % interval " + signed_ms(s.low_ns) + " to " + signed_ms(s.high_ns) + " ms; " +
           (s.exact ? "exact ranks" : "ranks by normal approximation") + printf_text(", %zu x %zu delays)\n", s.used_a, s.used_b);
}

std::string others_line(const Comparison& c)
{
    std::string line = "Drift B - A: ";
    if (c.a.mean_drift_ms_per_min && c.b.mean_drift_ms_per_min)
        line += printf_text("%+.2f ms/min", rounded(*c.b.mean_drift_ms_per_min - *c.a.mean_drift_ms_per_min, 0.01));
    else
        line += "unknown";
    return line + printf_text("; dropped %+.2f, repeated %+.2f percentage points\n",
                         rounded(100 * (c.b.drop_rate() - c.a.drop_rate()), 0.01),
                         rounded(100 * (c.b.repeat_rate() - c.a.repeat_rate()), 0.01));
}

// Which way the sound moved: a positive delay is sound after picture.
std::string finding_line(const Comparison& c)
{
    const std::string margin = printf_text("(margin +-%g ms)", ms_of(c.equivalence_ns));
    if (!c.shift)
        return "Nothing to compare: a side has no event\n";
    if (!c.changed())
        return "No change " + margin + "\n";
    const DelayShift& s = *c.shift;
    if (s.low_ns <= 0 && s.high_ns >= 0)
        return "Changed: a shift beyond the margin cannot be ruled out, the interval is too wide " + margin + "\n";
    const std::string by = printf_text("%.1f ms", rounded(std::abs(ms_of(s.estimate_ns)), 0.1));
    return "Changed: the sound comes " + by + (s.estimate_ns > 0 ? " later" : " earlier") + " in B than in A " +
           margin + "\n";
}

json tag_rows_json(const std::vector<TagRow>& rows)
{
    json list = json::array();
    for (const TagRow& row : rows)
        list.push_back({{"key", row.key},
                        {"value", row.value},
                        {"results", row.runs},
                        {"events", row.events},
                        {"median_ms", optional_ms(row.median_ns)}});
    return list;
}

json side_json(const SideFigures& s)
{
    return {{"results", s.runs},
            {"events", s.delays_ns.size()},
            {"median_ms", optional_ms(s.median_ns)},
            {"mean_drift_ms_per_min", s.mean_drift_ms_per_min ? json(*s.mean_drift_ms_per_min) : json(nullptr)},
            {"frames", s.frames},
            {"drop_rate", s.drop_rate()},
            {"repeat_rate", s.repeat_rate()},
            {"verdicts", s.verdicts},
            {"tags", tag_rows_json(s.tag_rows)}};
}

json shift_json(const std::optional<DelayShift>& s)
{
    if (!s)
        return nullptr;
    return {{"estimate_ms", ms3(s->estimate_ns)},
            {"interval_ms", {ms3(s->low_ns), ms3(s->high_ns)}},
            {"coverage", s->coverage},
            {"method", s->exact ? "exact" : "normal approximation"},
            {"delays_used", {s->used_a, s->used_b}}};
}

json difference_or_null(const std::optional<double>& a, const std::optional<double>& b)
{
    return a && b ? json(*b - *a) : json(nullptr);
}

} // namespace

std::string comparison_text(const Comparison& c)
{
    std::string text = side_line("A", c.a) + side_line("B", c.b);
    if (c.shift)
        text += shift_line(*c.shift) + others_line(c);
    return text + finding_line(c);
}

json comparison_json(const Comparison& c)
{
    return {{"a", side_json(c.a)},
            {"b", side_json(c.b)},
            {"delay_shift", shift_json(c.shift)},
            {"drift_difference_ms_per_min", difference_or_null(c.a.mean_drift_ms_per_min, c.b.mean_drift_ms_per_min)},
            {"drop_rate_difference", c.b.drop_rate() - c.a.drop_rate()},
            {"repeat_rate_difference", c.b.repeat_rate() - c.a.repeat_rate()},
            {"equivalence_ms", ms_of(c.equivalence_ns)},
            {"verdict", !c.shift ? "nothing_to_compare" : c.changed() ? "changed" : "no_change"}};
}

} // namespace skelv
