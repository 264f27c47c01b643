#include "media.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "skelv-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

ProcessResult run(std::vector<std::string> argv, const std::vector<std::string>& args, const std::string& cwd,
    double timeout = kRunTimeout)
{
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = run_process(argv, timeout, cwd);
    EXPECT_FALSE(result.timed_out) << argv.back();
    EXPECT_EQ(result.signal, 0) << argv.back() << "\n" << result.err;
    return result;
}

} // namespace

bool ffmpeg(const std::vector<std::string>& args)
{
    const ProcessResult result = run({"ffmpeg", "-nostdin", "-y", "-v", "error"}, args, "", 2 * kRunTimeout);
    EXPECT_EQ(result.exit_code, 0) << "ffmpeg: " << result.err;
    return result.exit_code == 0;
}

ProcessResult analyze(const std::vector<std::string>& args, const std::string& cwd,
    const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv = prefix;
    argv.push_back(SKELV_ANALYZER);
    return run(argv, args, cwd);
}

ProcessResult generate(const std::vector<std::string>& args, const std::string& cwd)
{
    return run({SKELV_GENERATE}, args, cwd);
}

ProcessResult check(const std::vector<std::string>& args, const std::string& cwd,
    const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv = prefix;
    argv.push_back(SKELV_CHECK);
    return run(argv, args, cwd);
}

namespace {

nlohmann::json whole_json(const std::string& text, const std::string& where)
{
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << where << " is not whole JSON: " << text;
    return parsed.is_discarded() ? nlohmann::json::object() : parsed;
}

} // namespace

nlohmann::json report_of(const ProcessResult& run)
{
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return whole_json(run.out, "the standard output");
}

nlohmann::json json_file(const std::string& path)
{
    return whole_json(read_file(path), path);
}

void write_file(const std::string& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
