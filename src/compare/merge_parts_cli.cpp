#include "compare/merge_parts_cli.h"

#include "check/check_parts.h"
#include "check/check_report.h"
#include "outputs/output_file.h"
#include "report/result_files.h"
#include "rules/exit_codes.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace skelv {

namespace {

struct MergeArguments {
    std::vector<std::string> parts;
    std::string json, csv, html, timeline;
    bool quiet = false;
};

void report_error(const std::string& error)
{
    fprintf(stderr, "skelv-check merge: %s\n", error.c_str());
}

void define_merge_options(CLI::App& app, MergeArguments* a)
{
    app.add_option("PART", a->parts, "the part files of one recording, each once, in any order")->required();
    app.add_option("--json", a->json, "write the recording's result as JSON to FILE (- for standard output)");
    app.add_option("--csv", a->csv, "write the events as CSV to FILE (- for standard output)");
    app.add_option("--html", a->html, "write a report page with plots to FILE");
    app.add_option("--timeline", a->timeline, "write every captured frame as CSV to FILE (- for standard output)");
    app.add_flag("-q,--quiet", a->quiet, "no summary");
    app.footer("The result is the one skelv-check gives reading the whole recording, judged with the options\n"
               "the parts were read with. Exit codes as skelv-check's: 0 within tolerance, 1 wrong command line\n"
               "or parts that do not fit together, 2 not analysable, 3 an output could not be written, 4 out of\n"
               "tolerance.");
}

// A part file, or what is named as one (and is then said to be missing).
bool names_a_part(const char* path)
{
    struct stat info {};
    const size_t length = strlen(path);
    return (stat(path, &info) == 0 && S_ISREG(info.st_mode)) || (length > 5 && strcmp(path + length - 5, ".part") == 0);
}

std::vector<NamedOutput> named_outputs(const MergeArguments& a)
{
    return {{"--json", a.json}, {"--csv", a.csv}, {"--html", a.html}, {"--timeline", a.timeline}};
}

bool summary_wanted(const MergeArguments& a)
{
    for (const NamedOutput& output : named_outputs(a))
        if (!output.path.empty() && is_standard_output(output.path))
            return false;
    return !a.quiet;
}

int run_merge(const MergeArguments& a)
{
    std::string error;
    std::vector<PartRecord> parts(a.parts.size());
    for (size_t i = 0; i < a.parts.size(); ++i)
        if (!read_part_record(a.parts[i], &parts[i], &error)) {
            report_error(error);
            return exit_code::kUsage;
        }
    if (!distinct_outputs(named_outputs(a), &error)) {
        report_error(error);
        return exit_code::kUsage;
    }
    // The timeline goes to its file as it is made: a long recording's rows are never held whole.
    OutputStream timeline;
    if (!a.timeline.empty()) {
        if (!timeline.open(a.timeline, &error)) {
            report_error(error);
            return exit_code::kOutput;
        }
        timeline.write(kTimelineCsvHeader);
    }
    const auto on_frame = [&timeline](const CheckFrame& frame) { timeline.write(timeline_csv_row(frame)); };
    CheckResult result;
    if (!join_parts(std::move(parts), a.timeline.empty() ? nullptr : std::function(on_frame), &result, &error)) {
        report_error(error);
        return exit_code::kUsage;
    }
    const bool summary = summary_wanted(a);
    if (!write_result_files({a.json, a.csv, a.html}, result, 0, &error) ||
        (!a.timeline.empty() && !timeline.commit(&error)) ||
        (summary && !write_output("-", check_summary_text(result), &error))) {
        report_error(error);
        return exit_code::kOutput;
    }
    if (!result.unmeasurable_reason.empty())
        report_error(result.file + ": " + result.unmeasurable_reason);
    return exit_code_of(result);
}

} // namespace

bool merge_of_parts_requested(int argc, char** argv)
{
    if (argc < 2 || strcmp(argv[1], "merge") != 0)
        return false;
    for (int i = 2; i < argc; ++i)
        if (argv[i][0] != '-' && strcmp(argv[i - 1], "--out") != 0 && strcmp(argv[i - 1], "--group-by") != 0 &&
            names_a_part(argv[i]))
            return true;
    return false;
}

int merge_parts_main(int argc, char** argv)
{
    CLI::App app{"Joins the parts of one recording, read by skelv-check --part K/N, into its result.",
                 "skelv-check merge"};
    MergeArguments arguments;
    define_merge_options(app, &arguments);
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    return run_merge(arguments);
}

} // namespace skelv
