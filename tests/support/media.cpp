#include "media.h"

#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr double kToolTimeout = 120; // seconds for one clip

bool run_tool(const std::vector<std::string>& argv)
{
    ProcessResult result = run_process(argv, kToolTimeout);
    if (result.exit_code == 0)
        return true;
    ADD_FAILURE() << argv[0] << " failed (exit " << result.exit_code << ", signal " << result.signal
                  << (result.timed_out ? ", timed out" : "") << "): " << result.err;
    return false;
}

} // namespace

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

bool ffmpeg(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv);
}

bool gst_launch(const std::string& description)
{
    std::vector<std::string> argv = {"gst-launch-1.0", "-q"};
    std::istringstream words(description);
    for (std::string word; words >> word;)
        argv.push_back(word);
    return run_tool(argv);
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
