#include "batch/batch_summary.h"

#include "batch/batch_trend.h"

#include "core/json_text.h"
#include "outputs/html_text.h"
#include "outputs/output_file.h"
#include "rules/exit_codes.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>
#include <tuple>
#include <sys/file.h>
#include <unistd.h>

namespace skelv {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Columns of summary.csv and summary.json, after file and verdict: the figures' keys.
constexpr size_t kMaxReaders = 8;
constexpr size_t kFoldersPerReader = 256;

const char* const kFigureColumns[] = {"events", "median_ms", "min_ms", "max_ms", "drift_ms_per_min", "dropped", "repeated"};

int severity(EntryOutcome outcome)
{
    switch (outcome) {
    case EntryOutcome::Error: return 0;
    case EntryOutcome::Fail: return 1;
    case EntryOutcome::Unmeasurable: return 2;
    default: return 3;
    }
}

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A figure as text: numbers as JSON writes them, nothing for null.
std::string figure_text(const json& figures, const char* key)
{
    const json value = figures.value(key, json(nullptr));
    return value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump();
}

// A relative link: each path segment percent-encoded where a URL needs it.
std::string url_path(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string url;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c) != nullptr)
            url += char(c);
        else
            url += {'%', hex[c >> 4], hex[c & 15]};
    }
    return url;
}

constexpr const char* kPageStyle = R"(body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse;width:100%}th,td{padding:.25em .6em;border-bottom:1px solid #ddd;text-align:left}
th{background:#f3f3f3;cursor:pointer;position:sticky;top:0}td.n{text-align:right;font-variant-numeric:tabular-nums}
.v{font-weight:600;text-transform:uppercase}.pass{color:#17692c}.fail{color:#b3261e}.unmeasurable{color:#8a5a00}
.error{color:#6b1fa8}.counts span{margin-right:1.5em}@media print{th{position:static}}
table.trend{width:auto;margin-bottom:1em}svg{display:block;width:100%;height:auto;margin:.5em 0}svg text{font-size:12px}
.frame{fill:none;stroke:#9a9aa0}.grid{stroke:#ececf0}.axes path{stroke:#9a9aa0}.band{fill:rgba(23,105,44,.12)}
.line{fill:none;stroke:currentColor;stroke-width:1.5}circle{fill:currentColor}.g0{color:#1f5fbf}.g1{color:#e07b00}
.g2{color:#17692c}.g3{color:#b3261e}.g4{color:#6b1fa8}.g5{color:#5f6368})";

// Sorts the table by the clicked column; numbers by value, empty cells last.
constexpr const char* kSortScript = R"(document.querySelectorAll('th').forEach(function(th,col){
th.addEventListener('click',function(){var body=th.closest('table').tBodies[0];
var rows=Array.from(body.rows),up=th.dataset.dir!=='up';th.dataset.dir=up?'up':'down';
function key(r){var c=r.cells[col];return c.dataset.key!==undefined?c.dataset.key:c.textContent;}
rows.sort(function(a,b){var x=key(a),y=key(b);if(x===''||y==='')return (x==='')-(y==='');
var p=parseFloat(x),q=parseFloat(y);var d=(!isNaN(p)&&!isNaN(q))?p-q:x.localeCompare(y);return up?d:-d;});
rows.forEach(function(r){body.appendChild(r);});});});)";

std::string html_row(const BatchRow& row)
{
    const EntryStatus& s = row.status;
    const std::string outcome = entry_outcome_name(s.outcome);
    const std::string target = row.folder + (row.status.has_output(batch_files::kReport) ? std::string("/") + batch_files::kReport : "/");
    std::string html = "<tr><td class=\"v " + outcome + "\" data-key=\"" + std::to_string(severity(s.outcome)) + "\">" +
                       outcome + "</td><td><a href=\"" + html_escape(url_path(target)) + "\">" + html_escape(s.file) +
                       "</a></td>";
    for (const char* column : kFigureColumns)
        html += "<td class=\"n\">" + html_escape(figure_text(s.figures, column)) + "</td>";
    return html + "<td>" + html_escape(s.error) + "</td></tr>\n";
}

// The status of every folder (nothing where there is no complete entry), read by a few
// threads: on network storage each read waits mostly for the server.
std::vector<std::optional<EntryStatus>> read_statuses(const std::vector<fs::path>& folders)
{
    std::vector<std::optional<EntryStatus>> statuses(folders.size());
    const size_t readers = std::min<size_t>(kMaxReaders, 1 + folders.size() / kFoldersPerReader);
    std::vector<std::thread> threads;
    for (size_t reader = 0; reader < readers; reader++)
        threads.emplace_back([&, reader] {
            for (size_t i = reader; i < folders.size(); i += readers) {
                EntryStatus status;
                if (read_entry_status(folders[i].string(), &status))
                    statuses[i] = std::move(status);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    return statuses;
}

class SummaryLock {
public:
    explicit SummaryLock(const std::string& dir)
        : fd_(open((dir + "/.summary.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666))
    {
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~SummaryLock()
    {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    SummaryLock(const SummaryLock&) = delete;
    SummaryLock& operator=(const SummaryLock&) = delete;

private:
    int fd_;
};

} // namespace

BatchCounts count_outcomes(const std::vector<EntryStatus>& statuses)
{
    BatchCounts counts;
    for (const EntryStatus& s : statuses) {
        switch (s.outcome) {
        case EntryOutcome::Pass: counts.pass++; break;
        case EntryOutcome::Fail: counts.fail++; break;
        case EntryOutcome::Unmeasurable: counts.unmeasurable++; break;
        default: counts.error++;
        }
    }
    return counts;
}

int batch_exit_code(const BatchCounts& counts)
{
    if (counts.fail > 0)
        return exit_code::kFail;
    if (counts.unmeasurable + counts.error > 0)
        return exit_code::kNotAnalysed;
    return exit_code::kPass;
}

std::vector<BatchRow> scan_entries(const std::vector<std::string>& dirs, const std::string& out_dir)
{
    std::vector<fs::path> folders;
    for (const std::string& dir : dirs) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error)) {
            const std::string name = entry.path().filename().string();
            if (!name.empty() && name[0] != '.')
                folders.push_back(fs::absolute(entry.path()).lexically_normal());
        }
    }
    const std::vector<std::optional<EntryStatus>> statuses = read_statuses(folders);
    std::map<std::pair<std::string, std::string>, BatchRow> by_key;
    const fs::path base = fs::absolute(out_dir).lexically_normal();
    for (size_t i = 0; i < folders.size(); i++) {
        if (!statuses[i])
            continue;
        auto [place, added] = by_key.try_emplace(std::pair(statuses[i]->key, statuses[i]->id));
        if (!added && place->second.status.finished > statuses[i]->finished)
            continue;
        place->second = {*statuses[i], folders[i].lexically_relative(base).string()};
    }
    std::vector<BatchRow> rows;
    rows.reserve(by_key.size());
    for (auto& [key, row] : by_key)
        rows.push_back(std::move(row));
    std::sort(rows.begin(), rows.end(), [](const BatchRow& a, const BatchRow& b) {
        return std::tie(a.status.file, a.status.key) < std::tie(b.status.file, b.status.key);
    });
    return rows;
}

std::string summary_csv(const std::vector<BatchRow>& rows)
{
    std::string csv = "file,verdict";
    for (const char* column : kFigureColumns)
        csv += std::string(",") + column;
    csv += ",profile,error,folder\n";
    for (const BatchRow& row : rows) {
        const EntryStatus& s = row.status;
        csv += csv_field(valid_utf8(s.file)) + "," + entry_outcome_name(s.outcome);
        for (const char* column : kFigureColumns)
            csv += "," + figure_text(s.figures, column);
        csv += "," + csv_field(figure_text(s.figures, "profile")) + "," + csv_field(valid_utf8(s.error)) + "," +
               csv_field(valid_utf8(row.folder)) + "\n";
    }
    return csv;
}

json summary_json(const std::vector<BatchRow>& rows)
{
    std::vector<EntryStatus> statuses;
    json list = json::array();
    for (const BatchRow& row : rows) {
        const EntryStatus& s = row.status;
        statuses.push_back(s);
        json item = {{"file", valid_utf8(s.file)}, {"verdict", entry_outcome_name(s.outcome)}};
        for (const char* column : kFigureColumns)
            item[column] = s.figures.value(column, json(nullptr));
        item["profile"] = s.figures.value("profile", json(nullptr));
        item["tags"] = s.figures.value("tags", json::object());
        item["error"] = s.error.empty() ? json(nullptr) : json(valid_utf8(s.error));
        const std::string folder = valid_utf8(row.folder);
        item["folder"] = folder;
        item["report"] = row.status.has_output(batch_files::kReport) ? json(folder + "/" + batch_files::kReport) : json(nullptr);
        item["seconds"] = s.end.seconds;
        item["finished"] = s.finished;
        list.push_back(std::move(item));
    }
    const BatchCounts counts = count_outcomes(statuses);
    return {{"recordings", counts.total()},
            {"counts", {{"pass", counts.pass}, {"fail", counts.fail}, {"unmeasurable", counts.unmeasurable}, {"error", counts.error}}},
            {"rows", list}};
}

std::string index_html(const std::vector<BatchRow>& rows, const std::string& group_by)
{
    std::vector<const BatchRow*> ordered;
    std::vector<EntryStatus> statuses;
    for (const BatchRow& row : rows) {
        ordered.push_back(&row);
        statuses.push_back(row.status);
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const BatchRow* a, const BatchRow* b) {
        return severity(a->status.outcome) < severity(b->status.outcome);
    });
    const BatchCounts counts = count_outcomes(statuses);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
                       "<title>Skelv batch: " + std::to_string(counts.total()) + " recordings</title>\n<style>" +
                       kPageStyle + "</style></head>\n<body>\n<h1>Skelv batch: " + std::to_string(counts.total()) +
                       " recordings</h1>\n<p class=\"counts\">";
    const std::pair<const char*, size_t> tallies[] = {
        {"pass", counts.pass}, {"fail", counts.fail}, {"unmeasurable", counts.unmeasurable}, {"error", counts.error}};
    for (const auto& [name, count] : tallies)
        html += std::string("<span class=\"v ") + name + "\">" + name + ": " + std::to_string(count) + "</span>";
    html += "</p>\n";
    if (!group_by.empty())
        html += trend_html(trend_of(rows, group_by)) + "<h2>Recordings</h2>\n";
    html += "<table>\n<thead><tr><th>Verdict</th><th>Recording</th><th>Events</th><th>Median delay (ms)</th>"
            "<th>Min (ms)</th><th>Max (ms)</th><th>Drift (ms/min)</th><th>Dropped</th><th>Repeated</th>"
            "<th>Error</th></tr></thead>\n<tbody>\n";
    for (const BatchRow* row : ordered)
        html += html_row(*row);
    return html + "</tbody>\n</table>\n<p>Positive delays: audio lags video; negative: audio leads. "
                  "Click a column's title to sort by it.</p>\n<script>" + kSortScript + "</script>\n</body></html>\n";
}

bool rebuild_summary(const std::string& out_dir, const std::vector<std::string>& dirs, const std::string& group_by,
                     std::vector<BatchRow>* rows, std::string* error)
{
    SummaryLock lock(out_dir);
    *rows = scan_entries(dirs, out_dir);
    return write_output(out_dir + "/summary.csv", summary_csv(*rows), error) &&
           write_output(out_dir + "/summary.json", json_file_text(summary_json(*rows)), error) &&
           write_output(out_dir + "/index.html", index_html(*rows, group_by), error);
}

} // namespace skelv
