// Media made at test time: a scratch directory and clips written by ffmpeg or gst-launch.
#pragma once

#include <string>
#include <vector>

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

// Runs `ffmpeg -nostdin -y -v error <args>`; on failure records a test failure with its
// standard error and returns false.
bool ffmpeg(const std::vector<std::string>& args);
// Runs `gst-launch-1.0 -q <description>` split at spaces; the same on failure.
bool gst_launch(const std::string& description);

// Whole-file helpers for scratch files.
void write_file(const std::string& path, const std::string& contents);
std::string read_file(const std::string& path);

// The lines of `text`, without their newlines.
std::vector<std::string> split_lines(const std::string& text);
