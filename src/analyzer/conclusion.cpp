#include "analyzer/conclusion.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t lipsync_reference(const VideoStructure& structure, size_t markers)
{
    const size_t classified = std::min(markers, size_t(std::max(structure.marker_count, 0)));
    int32_t reference = -1;
    for (size_t i = 0; i < classified; i++)
        if (structure.classes[i].type == MARKER_TYPE_RGB6)
            reference = int32_t(i);
    return reference;
}

// ---------------------------------------------------------------- lip-sync

namespace {

bool is_video_marker(const AnalysisRun& run, size_t frame)
{
    if (run.lipsync_marker < 0)
        return false;
    const std::string& code = run.frame_codes[frame];
    return static_cast<size_t>(run.lipsync_marker) < code.size() && code[run.lipsync_marker] == 'k';
}

} // namespace

uint64_t audio_marker_time(const AnalysisRun& run, int32_t sample)
{
    if (run.audio_rate <= 0)
        return run.audio_start_time;
    return run.audio_start_time + static_cast<uint64_t>(int64_t{sample} * 1000000000 / run.audio_rate);
}

LipsyncSummary lipsync_summarize(const AnalysisRun& run)
{
    LipsyncSummary summary{static_cast<int32_t>(run.audio_markers.size()), 0, 0.0f, 0.0f};
    size_t next_audio = 0;
    for (size_t j = 0; j < run.frame_codes.size(); j++) {
        if (!is_video_marker(run, j))
            continue;
        if (next_audio < run.audio_markers.size()) {
            const uint64_t beep = audio_marker_time(run, run.audio_markers[next_audio++].start);
            const float delay = seconds_from_signed_ns(static_cast<int64_t>(beep - run.frame_times[j]));
            const bool first = summary.video_markers == 0;
            summary.min_delay = first ? delay : std::min(summary.min_delay, delay);
            summary.max_delay = first ? delay : std::max(summary.max_delay, delay);
        }
        summary.video_markers++;
    }
    return summary;
}

// ---------------------------------------------------------------- frame data file

namespace {

// Beeps interleaved with frames in time order: each beep before the first frame at or after
// its start, beeps after the last frame at the end.
bool write_timeline(FILE* file, const AnalysisRun& run)
{
    size_t next_audio = 0;
    const size_t frames = run.frame_codes.size();
    for (size_t j = 0; j <= frames; j++) {
        const bool end_of_stream = j == frames;
        while (next_audio < run.audio_markers.size()) {
            const AudioMarker& beep = run.audio_markers[next_audio];
            const uint64_t start = audio_marker_time(run, beep.start);
            if (!end_of_stream && start > run.frame_times[j])
                break;
            const uint64_t end = audio_marker_time(run, beep.end);
            if (fprintf(file, "AUDIO: %8" PRId64 " %5" PRId64 "\n", static_cast<int64_t>(start / 1000),
                        static_cast<int64_t>(end - start) / 1000) < 0)
                return false;
            next_audio++;
        }
        if (!end_of_stream && fprintf(file, "VIDEO: %8" PRId64 " %s\n", static_cast<int64_t>(run.frame_times[j] / 1000),
                                      run.frame_codes[j].c_str()) < 0)
            return false;
    }
    return true;
}

// Opens `path` for writing from its start when it is a regular file or absent. A pipe there
// would hold the run until some reader came, a device would take the timeline for good.
FILE* open_regular(const char* path, std::string* failure)
{
    struct stat status;
    if (stat(path, &status) == 0 && !S_ISREG(status.st_mode)) {
        *failure = std::string("Could not create ") + path + ": not a regular file";
        return nullptr;
    }
    // Non-blocking, so that a pipe put there since the test cannot hold the open either.
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        *failure = std::string("Could not create ") + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
}

} // namespace

bool frames_file_write(const char* path, const AnalysisRun& run, std::string* failure)
{
    FILE* file = open_regular(path, failure);
    if (file == nullptr)
        return false;
    bool written = write_timeline(file, run) && fflush(file) == 0;
    int write_errno = errno;
    if (fclose(file) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        *failure = std::string("Could not write ") + path + ": " + strerror(write_errno);
        unlink(path);
    }
    return written;
}

void analysis_conclude(AnalysisRun* run, const char* frame_data_path)
{
    VideoStructurePtr structure(video_structure_analyze(run->frame_codes));
    run->structure = std::move(*structure);
    run->lipsync_marker = lipsync_reference(run->structure, run->markers.size());
    run->lipsync = lipsync_summarize(*run);
    std::string failure;
    if (frames_file_write(frame_data_path, *run, &failure))
        run->frame_data = frame_data_path;
    else
        run->warnings.push_back(failure);
}
