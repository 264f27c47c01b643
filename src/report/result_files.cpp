#include "report/result_files.h"

#include "check/check_report.h"
#include "outputs/output_file.h"
#include "report/check_html.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <utility>

namespace skelv {

bool write_result_files(const ResultFiles& files, const CheckResult& result, int reload_s, std::string* error)
{
    using nlohmann::json;
    const std::pair<const std::string&, std::function<std::string()>> outputs[] = {
        {files.json, [&] { return check_result_json(result).dump(2, ' ', false, json::error_handler_t::replace) + "\n"; }},
        {files.csv, [&] { return check_result_csv(result); }},
        {files.html, [&] { return check_html(result, reload_s); }},
    };
    for (const auto& [path, render] : outputs)
        if (!path.empty() && !write_output(path, render(), error))
            return false;
    return true;
}

} // namespace skelv
