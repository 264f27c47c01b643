#include "analyzer/passes.h"

#include "core/layout.h"
#include "core/stream_times.h"
#include "core/tone_detector.h"
#include "media/gst_ptr.h"
#include "media/loader.h"
#include "media/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

G_DEFINE_QUARK(skelv-analyzer-error-quark, skelv_analyzer_error)

namespace {

struct FrameSize {
    gint32 width = 0, height = 0, stride = 0;
    bool operator==(const FrameSize&) const = default;
};

FrameSize loader_video_size(Loader* loader)
{
    FrameSize size;
    loader_get_video_size(loader, &size.width, &size.height, &size.stride);
    return size;
}

// Sets a frame error unless the pipeline already reported one for the same buffers.
bool fail_frame(GError** error, const char* format, ...) G_GNUC_PRINTF(2, 3);
bool fail_frame(GError** error, const char* format, ...)
{
    if (*error != nullptr)
        return false;
    va_list args;
    va_start(args, format);
    GCharPtr text(g_strdup_vprintf(format, args));
    va_end(args);
    g_set_error_literal(error, SKELV_ANALYZER_ERROR, SKELV_ANALYZER_ERROR_FRAME, text.get());
    return false;
}

// Fails unless the frame delivered last has the stream's size and its buffer holds it, so
// that nothing is read outside the mapped frame.
bool check_frame(Loader* loader, const FrameSize& expected, int32_t frame, gsize mapped_size, GError** error)
{
    FrameSize actual;
    if (loader_get_frame_size(loader, &actual.width, &actual.height, &actual.stride) && !(actual == expected))
        return fail_frame(error,
                          "Frame %d is %dx%d with a row stride of %d bytes, but the stream started at %dx%d with a "
                          "row stride of %d bytes",
                          frame, actual.width, actual.height, actual.stride, expected.width, expected.height,
                          expected.stride);
    const guint64 needed = guint64(std::max(expected.stride, 0)) * guint64(std::max(expected.height, 0));
    if (mapped_size < needed) {
        return fail_frame(error,
                          "Frame %d holds %" G_GSIZE_FORMAT " bytes, but %dx%d with a row stride of %d bytes needs %"
                          G_GUINT64_FORMAT,
                          frame, mapped_size, expected.width, expected.height, expected.stride, needed);
    }
    return true;
}

// The first pass keeps a history of some twenty bytes for every pixel; a broken or hostile
// header declaring a larger frame would exhaust memory instead of failing with a message.
constexpr int64_t kMaxFramePixels = int64_t{8192} * 8192;

bool check_frame_area(const FrameSize& size, GError** error)
{
    if (int64_t{size.width} * size.height <= kMaxFramePixels)
        return true;
    g_set_error(error, SKELV_ANALYZER_ERROR, SKELV_ANALYZER_ERROR_FRAME,
                "Frames of %dx%d pixels are too large: at most %" G_GINT64_FORMAT " pixels per frame are analysed",
                size.width, size.height, kMaxFramePixels);
    return false;
}

bool map_failed(int32_t frame, GError** error)
{
    return fail_frame(error, "Frame %d could not be mapped for reading", frame);
}

void add_warning(AnalysisRun* run, const char* format, ...) G_GNUC_PRINTF(2, 3);
void add_warning(AnalysisRun* run, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    GCharPtr text(g_strdup_vprintf(format, args));
    va_end(args);
    run->warnings.emplace_back(text.get());
}

// The pipeline's warnings join the run's as they come; the second decode repeats those of
// the first, which are kept once.
void take_pipeline_warnings(AnalysisRun* run, Loader* loader)
{
    for (std::string& warning : loader_take_warnings(loader))
        if (std::find(run->warnings.begin(), run->warnings.end(), warning) == run->warnings.end())
            run->warnings.push_back(std::move(warning));
}

// Hands every buffer of both streams to the pass, video before audio within one delivery,
// until both streams end (true) or a frame or the pipeline fails (false, `*error` set).
// Buffers that came with a pipeline error are handled before the pass ends.
template <typename OnVideo, typename OnAudio>
bool deliver_buffers(Loader* loader, AnalysisRun* run, GError** error, OnVideo on_video, OnAudio on_audio)
{
    GstBuffer* audio_out;
    GstBuffer* video_out;
    while (loader_get_buffer(loader, &audio_out, &video_out, error)) {
        GstBufferPtr audio(audio_out), video(video_out);
        take_pipeline_warnings(run, loader);
        if (video && !on_video(video.get()))
            return false;
        if (audio)
            on_audio(audio.get());
        if (*error != nullptr)
            return false;
    }
    take_pipeline_warnings(run, loader);
    return true;
}

std::string element_name(const gchar* name)
{
    return name != nullptr ? name : "";
}

void describe_streams(AnalysisRun* run, Loader* loader, const FrameSize& size)
{
    run->elements = {element_name(loader_get_demuxer(loader)),   element_name(loader_get_video_decoder(loader)),
                     element_name(loader_get_audio_decoder(loader)), element_name(loader_get_muxer(loader)),
                     element_name(loader_get_video_encoder(loader)), element_name(loader_get_audio_encoder(loader))};
    run->video_width = size.width;
    run->video_height = size.height;
    run->framerate = loader_get_framerate(loader);
    run->audio_rate = loader_get_audio_rate(loader);
}

// ---------------------------------------------------------------- the file itself

const char* special_file_kind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return nullptr;
}

// The file's stamp now; false when it cannot be examined.
bool stat_file(const char* path, FileStamp* stamp, mode_t* mode)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    *stamp = {uint64_t(status.st_dev), uint64_t(status.st_ino), int64_t(status.st_size),
              int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
    *mode = status.st_mode;
    return true;
}

// Keeps the stamp of the file about to be read the first time. A pipe, socket or device is
// refused: what the first decode took from it would not be there for the second. A path that
// cannot be examined is left to the loader, whose message names the cause.
bool stamp_file(AnalysisRun* run, GError** error)
{
    mode_t mode = 0;
    if (!stat_file(run->file, &run->file_stamp, &mode))
        return true;
    if (const char* kind = special_file_kind(mode)) {
        g_set_error(error, SKELV_ANALYZER_ERROR, SKELV_ANALYZER_ERROR_NOT_REGULAR,
                    "\"%s\" is %s, not a regular file: the analyser reads the file twice", run->file, kind);
        return false;
    }
    return true;
}

// Both decodes must have read the same file: a file replaced, grown or cut meanwhile, or
// decodes that disagree, would mix two clips in one report.
void check_same_file(AnalysisRun* run, int32_t second_frames)
{
    FileStamp now;
    mode_t mode;
    const bool changed = !stat_file(run->file, &now, &mode) || !(now == run->file_stamp);
    if (changed)
        add_warning(run, "The file changed between the two decodes: %d video frames in the first, %d in the second",
                    run->total_frames, second_frames);
    else if (second_frames != run->total_frames)
        add_warning(run, "The two decodes read different numbers of video frames: %d in the first, %d in the second",
                    run->total_frames, second_frames);
}

void show_first_pass_progress(int32_t frame, GstBuffer* buffer)
{
    if (skelv_log_enabled(GST_LEVEL_INFO)) {
        const SkelvClockParts t = skelv_split_time(GST_BUFFER_PTS(buffer));
        gst_debug_log(skelv_analyzer_debug, GST_LEVEL_INFO, "analyzer_main", "first_pass", __LINE__, nullptr,
                      "Processing frame %d, time %u:%02u:%02u.%09u\n", frame, t.hours, t.minutes, t.seconds,
                      t.nanoseconds);
    }
    printf("[%5d]  \r", frame);
    fflush(stdout);
}

struct FirstPassState {
    Loader* loader = nullptr;
    Layout* layout = nullptr;
    FrameSize size;
    bool terminal = false;
    int32_t frames = 0;
    StreamTimes video, audio;
};

bool first_pass_video(FirstPassState* state, AnalysisRun* run, GstBuffer* buffer, GError** error)
{
    const int32_t frame = ++state->frames;
    if (state->terminal)
        show_first_pass_progress(frame, buffer);
    {
        GstBufferReadMap map(buffer);
        if (!map)
            return map_failed(frame, error);
        if (!check_frame(state->loader, state->size, frame, map.size(), error))
            return false;
        layout_process(state->layout, map.data(), state->size.stride);
    }
    int64_t offset;
    if (state->video.advance(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer), &offset))
        run->warnings.push_back(video_gap_warning(frame, static_cast<double>(seconds_from_signed_ns(offset))));
    return true;
}

void first_pass_audio(FirstPassState* state, AnalysisRun* run, GstBuffer* buffer)
{
    const GstClockTime expected = state->audio.end;
    int64_t offset;
    if (state->audio.advance(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer), &offset))
        run->warnings.push_back(audio_gap_warning(static_cast<double>(seconds_from_ns(expected)),
                                                  static_cast<double>(seconds_from_signed_ns(offset))));
}

void warn_late_start(AnalysisRun* run, const char* stream, const StreamTimes& times)
{
    if (times.starts_late())
        run->warnings.push_back(late_start_warning(stream, static_cast<double>(seconds_from_ns(times.start))));
}

} // namespace

bool first_pass(AnalysisRun* run, const OnOpened& opened, GError** error)
{
    *error = nullptr;
    if (!stamp_file(run, error))
        return false;
    LoaderPtr loader(loader_open(run->file, error));
    take_pipeline_warnings(run, loader.get());
    if (*error != nullptr)
        return false;

    FirstPassState state;
    state.loader = loader.get();
    state.size = loader_video_size(loader.get());
    if (!check_frame_area(state.size, error))
        return false;
    state.terminal = isatty(STDOUT_FILENO) != 0;
    describe_streams(run, loader.get(), state.size);
    opened(*run);

    LayoutPtr layout(layout_new(state.size.width, state.size.height));
    state.layout = layout.get();
    const bool delivered = deliver_buffers(
        loader.get(), run, error,
        [&](GstBuffer* video) { return first_pass_video(&state, run, video, error); },
        [&](GstBuffer* audio) { first_pass_audio(&state, run, audio); });
    if (!delivered)
        return false;

    run->total_frames = state.frames;
    run->video_end = state.video.end;
    run->audio_end = state.audio.end;
    warn_late_start(run, "Video", state.video);
    warn_late_start(run, "Audio", state.audio);
    run->markers = layout_get_markers(layout.get());
    return true;
}

// ---------------------------------------------------------------- second pass

namespace {

// The markers found in the first pass must lie inside this decode's frames.
bool check_markers_fit(const AnalysisRun& run, const FrameSize& size, GError** error)
{
    for (const MarkerRect& m : run.markers) {
        if (m.right < size.width && m.bottom < size.height)
            continue;
        g_set_error(error, SKELV_ANALYZER_ERROR, SKELV_ANALYZER_ERROR_FRAME,
                    "The second decode gives %dx%d frames, too small for the markers of the first (%dx%d)", size.width,
                    size.height, run.video_width, run.video_height);
        return false;
    }
    return true;
}

void feed_audio(ToneDetector* detector, const guint8* data, gsize size)
{
    const uint64_t count = size / 2;
    if (reinterpret_cast<uintptr_t>(data) % alignof(int16_t) == 0) {
        tone_detector_process(detector, reinterpret_cast<const int16_t*>(data), count);
        return;
    }
    std::vector<int16_t> aligned(count);
    memcpy(aligned.data(), data, count * 2);
    tone_detector_process(detector, aligned.data(), count);
}

struct SecondPassState {
    Loader* loader = nullptr;
    ToneDetector* detector = nullptr;
    FrameSize size;
    bool terminal = false;
    int32_t frames = 0;
    bool audio_started = false;
};

bool second_pass_video(SecondPassState* state, AnalysisRun* run, GstBuffer* buffer, GError** error)
{
    const int32_t frame = ++state->frames;
    if (state->terminal) {
        printf("[%5d/%5d]  \r", frame, run->total_frames);
        fflush(stdout);
    }
    GstBufferReadMap map(buffer);
    if (!map)
        return map_failed(frame, error);
    if (!check_frame(state->loader, state->size, frame, map.size(), error))
        return false;
    run->frame_codes.push_back(frame_code_sample(run->markers, map.data(), state->size.stride));
    run->frame_times.push_back(loader_get_video_running_time(state->loader, GST_BUFFER_PTS(buffer)));
    return true;
}

void second_pass_audio(SecondPassState* state, AnalysisRun* run, GstBuffer* buffer)
{
    if (!state->audio_started) {
        const GstClockTime start = loader_get_audio_running_time(state->loader, GST_BUFFER_PTS(buffer));
        run->audio_start_time = GST_CLOCK_TIME_IS_VALID(start) ? start : 0;
        state->audio_started = true;
    }
    GstBufferReadMap map(buffer);
    if (map && run->audio_rate > 0)
        feed_audio(state->detector, map.data(), map.size());
}

} // namespace

bool second_pass(AnalysisRun* run, GError** error)
{
    *error = nullptr;
    LoaderPtr loader(loader_open(run->file, error));
    take_pipeline_warnings(run, loader.get());
    if (*error != nullptr)
        return false;

    SecondPassState state;
    state.loader = loader.get();
    state.size = loader_video_size(loader.get());
    state.terminal = isatty(STDOUT_FILENO) != 0;
    if (!check_markers_fit(*run, state.size, error))
        return false;
    ToneDetectorPtr detector(tone_detector_new(run->audio_rate));
    state.detector = detector.get();
    const bool delivered = deliver_buffers(
        loader.get(), run, error,
        [&](GstBuffer* video) { return second_pass_video(&state, run, video, error); },
        [&](GstBuffer* audio) { second_pass_audio(&state, run, audio); });
    if (!delivered)
        return false;
    run->audio_markers = tone_detector_get_markers(detector.get());
    check_same_file(run, state.frames);
    return true;
}
