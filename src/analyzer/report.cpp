#include "analyzer/report.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <unistd.h>

float seconds_from_ns(uint64_t ns)
{
    return static_cast<float>(ns) / 1000000000.0f;
}

float seconds_from_signed_ns(int64_t ns)
{
    return static_cast<float>(ns) / 1000000000.0f;
}

// ---------------------------------------------------------------- markers and structure

namespace {

void print_marker_type(FILE* out, const MarkerClass& marker_class)
{
    switch (marker_class.type) {
    case MARKER_TYPE_SYNCMARK: fprintf(out, "\"type\": \"SYNCMARK\", \"interval\": %d", marker_class.interval); break;
    case MARKER_TYPE_FRAMEID: fprintf(out, "\"type\": \"FRAMEID\", \"interval\": %d", marker_class.interval); break;
    case MARKER_TYPE_RGB6: fputs("\"type\": \"RGB6\"", out); break;
    default: fputs("\"type\": \"UNKNOWN\"", out); break;
    }
}

} // namespace

void report_print_markers(FILE* out, AnalysisRun* run, const VideoStructure& structure)
{
    run->lipsync_marker = -1;
    fputs("    \"markers\": [\n", out);
    const int32_t count = static_cast<int32_t>(run->markers.size());
    for (int32_t i = 0; i < count; i++) {
        const MarkerRect& m = run->markers[i];
        fprintf(out, "      {\"index\": %3d, \"pos\": [%4d,%4d], \"size\": [%3d,%3d], \"crc\": \"%08x\", ", i, m.left,
                m.top, m.right - m.left + 1, m.bottom - m.top + 1, m.crc);
        // Without a frame in the second pass a marker has no class.
        const MarkerClass marker_class =
            i < structure.marker_count ? structure.classes[i] : MarkerClass{MARKER_TYPE_UNKNOWN, 0};
        print_marker_type(out, marker_class);
        fputs(i == count - 1 ? "}\n" : "},\n", out);
        if (marker_class.type == MARKER_TYPE_RGB6)
            run->lipsync_marker = i;
    }
    fputs("    ],\n", out);
}

void report_print_video_structure(FILE* out, const VideoStructure& structure)
{
    fputs("    \"video_structure\": {\n", out);
    fprintf(out, "      \"header_frames\": %8d,\n", structure.header_frames);
    fprintf(out, "      \"locator_frames\":%8d,\n", structure.locator_frames);
    fprintf(out, "      \"content_frames\":%8d,\n", structure.content_frames);
    fprintf(out, "      \"trailer_frames\":%8d\n", structure.trailer_frames);
    fputs("    },\n", out);
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

void report_print_lipsync(FILE* out, const LipsyncSummary& summary)
{
    fputs("    \"lipsync\": {\n", out);
    fprintf(out, "      \"audio_markers\":    %8d,\n", summary.audio_markers);
    fprintf(out, "      \"video_markers\":    %8d", summary.video_markers);
    if (summary.audio_markers != 0 && summary.video_markers != 0) {
        fputs(",\n", out);
        fprintf(out, "      \"audio_delay_min_ms\": %6.1f,\n", static_cast<double>(summary.min_delay * 1000.0f));
        fprintf(out, "      \"audio_delay_max_ms\": %6.1f", static_cast<double>(summary.max_delay * 1000.0f));
    }
    fputs("\n    },\n", out);
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

} // namespace

bool frames_file_write(const char* path, const AnalysisRun& run, std::string* failure)
{
    FILE* file = fopen(path, "w");
    if (file == nullptr) {
        *failure = std::string("Could not create ") + path + ": " + strerror(errno);
        return false;
    }
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

void report_print_frame_data(FILE* out, const char* name)
{
    fprintf(out, "    \"frame_data\": \"%s\",\n", json_escape(name).c_str());
}

void report_print_warnings(FILE* out, const std::vector<std::string>& warnings)
{
    fputs("    \"warnings\": [\n", out);
    for (size_t i = 0; i < warnings.size(); i++)
        fprintf(out, "      \"%s\"%s\n", json_escape(warnings[i]).c_str(), i + 1 < warnings.size() ? "," : "");
    fputs("    ]\n", out);
}
