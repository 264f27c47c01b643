#include "compare/compare_cli.h"

#include "compare/compare_html.h"
#include "compare/compare_runs.h"
#include "outputs/output_file.h"
#include "rules/exit_codes.h"
#include "rules/time_units.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace skelv {

namespace {

constexpr double kMaxEquivalenceMs = 60000;

struct CompareArguments {
    std::string a, b, json, html;
    std::vector<std::string> a_where, b_where;
    double equivalence_ms = 5;
    bool quiet = false;
};

void report_error(const std::string& error)
{
    fprintf(stderr, "skelv-check compare: %s\n", error.c_str());
}

void define_compare_options(CLI::App& app, CompareArguments* a)
{
    const auto repeatable = [](CLI::Option* option) {
        option->allow_extra_args(false); // one value each: A and B are not tags
    };
    app.add_option("A", a->a, "the results before: result.json files or batch folders, joined with commas")->required();
    app.add_option("B", a->b, "the results after, the same way")->required();
    repeatable(app.add_option("--a-where", a->a_where, "take only A's results tagged KEY=VALUE; repeatable"));
    repeatable(app.add_option("--b-where", a->b_where, "take only B's results tagged KEY=VALUE; repeatable"));
    app.add_option("--equivalence", a->equivalence_ms, "ms of delay shift that still count as no change (5)");
    app.add_option("--json", a->json, "write the comparison as JSON to FILE (- for standard output)");
    app.add_option("--html", a->html, "write a page with both delay distributions to FILE");
    app.add_flag("-q,--quiet", a->quiet, "no summary on standard output");
    app.footer("Folders: the results their summary.json lists (a batch's --out, a merge's), else DIR/*/result.json.\n"
               "The delay shift is B - A: the median of every pairwise difference of the events' delays, with its\n"
               "95 % interval from the ranks. No change: the interval holds 0 and lies within +-equivalence.\n"
               "Exit codes: 0 no change, 1 wrong command line, 2 a side has no results or no events,\n"
               "3 an output could not be written, 4 changed.");
}

bool where_tags(const std::vector<std::string>& texts, RunTags* tags, std::string* error)
{
    for (const std::string& text : texts)
        if (!add_tag(text, tags, error))
            return false;
    return true;
}

// The runs of one side; the exit code when there are none to use.
int side_runs(const std::string& name, const std::string& side, const std::vector<std::string>& where,
              std::vector<RunResult>* runs)
{
    RunTags tags;
    std::string error;
    if (!where_tags(where, &tags, &error)) {
        report_error("--" + name + "-where: " + error);
        return exit_code::kUsage;
    }
    bool missing = false;
    std::vector<RunResult> all;
    if (!read_side(side, &all, &missing, &error)) {
        report_error(error);
        return missing ? exit_code::kUsage : exit_code::kNotAnalysed;
    }
    *runs = runs_where(all, tags);
    if (runs->empty()) {
        report_error(name == "a" ? "A has no results to compare" : "B has no results to compare");
        return exit_code::kNotAnalysed;
    }
    return exit_code::kSuccess;
}

bool write_outputs(const CompareArguments& a, const Comparison& c)
{
    std::string error;
    const bool summary = !a.quiet && (a.json.empty() || !is_standard_output(a.json)) &&
                         (a.html.empty() || !is_standard_output(a.html));
    if ((!a.json.empty() && !write_output(a.json, comparison_json(c).dump(2) + "\n", &error)) ||
        (!a.html.empty() && !write_output(a.html, comparison_html(c), &error)) ||
        (summary && !write_output("-", comparison_text(c), &error))) {
        report_error(error);
        return false;
    }
    return true;
}

int run_compare(const CompareArguments& a)
{
    std::string error;
    if (!std::isfinite(a.equivalence_ms) || a.equivalence_ms < 0 || a.equivalence_ms > kMaxEquivalenceMs) {
        report_error("--equivalence takes ms from 0 to 60000");
        return exit_code::kUsage;
    }
    if (!distinct_outputs({{"--json", a.json}, {"--html", a.html}}, &error)) {
        report_error(error);
        return exit_code::kUsage;
    }
    std::vector<RunResult> runs_a, runs_b;
    if (const int code = side_runs("a", a.a, a.a_where, &runs_a); code != exit_code::kSuccess)
        return code;
    if (const int code = side_runs("b", a.b, a.b_where, &runs_b); code != exit_code::kSuccess)
        return code;
    const Comparison c = compare_sides(runs_a, runs_b, ns_of_ms(a.equivalence_ms));
    if (!write_outputs(a, c))
        return exit_code::kOutput;
    if (!c.shift) {
        report_error(std::string(c.a.delays_ns.empty() ? "A" : "B") + " has no lip-sync event to compare");
        return exit_code::kNotAnalysed;
    }
    return c.changed() ? exit_code::kFail : exit_code::kSuccess;
}

} // namespace

bool compare_requested(int argc, char** argv)
{
    return argc > 1 && strcmp(argv[1], "compare") == 0;
}

int compare_main(int argc, char** argv)
{
    CLI::App app{"Compares the results of two sets of runs: lip-sync delays, drift, dropped and repeated frames.",
                 "skelv-check compare"};
    CompareArguments arguments;
    define_compare_options(app, &arguments);
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    return run_compare(arguments);
}

} // namespace skelv
