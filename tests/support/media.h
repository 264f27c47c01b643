// Media made at test time, and the programs under test run on it.
#pragma once

#include "process.h"

#include <nlohmann/json.hpp>

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

constexpr double kRunTimeout = 60; // seconds for one program run on a test clip

// Runs `ffmpeg -nostdin -y -v error <args>`; false, with a test failure, if it fails.
bool ffmpeg(const std::vector<std::string>& args);
// Run skelv-analyzer or skelv-generate on `args` in `cwd`, the analyser after `prefix` (a
// program such as env that execs the rest); a time-out or a signal is a test failure.
ProcessResult analyze(const std::vector<std::string>& args, const std::string& cwd,
    const std::vector<std::string>& prefix = {});
ProcessResult generate(const std::vector<std::string>& args, const std::string& cwd);
ProcessResult check(const std::vector<std::string>& args, const std::string& cwd,
    const std::vector<std::string>& prefix = {});
// The report of a run that exited 0; a test failure and an empty object otherwise.
nlohmann::json report_of(const ProcessResult& run);
// The JSON a file holds; a test failure and an empty object unless it is whole.
nlohmann::json json_file(const std::string& path);

void write_file(const std::string& path, const std::string& contents);
std::string read_file(const std::string& path);
// The lines of `text`, without their newlines.
std::vector<std::string> split_lines(const std::string& text);
