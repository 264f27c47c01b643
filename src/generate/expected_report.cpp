#include "generate/expected_report.h"

#include "core/clip_constants.h"
#include "core/json_text.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kGapTolerance = clip::kTimeTolerance; // ns either way that the analyser lets pass

// The analyser prints seconds through single precision.
std::string seconds_text(int64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%0.3f", double(float(ns) / 1000000000.0f));
    return text;
}

// CRC-32 of the marker's class bytes, one per frame, continued from 0x01010101; 0 is
// reserved for background and reads as 1.
uint32_t marker_crc(const std::vector<std::string>& codes, size_t marker)
{
    uLong crc = 0x01010101;
    for (const std::string& code : codes) {
        const Bytef class_byte = Bytef(strchr(clip::kColorLetters, code[marker]) - clip::kColorLetters);
        crc = crc32(crc, &class_byte, 1);
    }
    return crc == 0 ? 1 : uint32_t(crc);
}

void add_video(const ClipDesign& design, ExpectedReport* report)
{
    for (const DeliveredFrame& frame : design.frames)
        report->codes.push_back(clip_design_code(design, frame.design));
    VideoStructurePtr structure(video_structure_analyze(report->codes));
    report->header_frames = structure->header_frames;
    report->locator_frames = structure->locator_frames;
    report->content_frames = structure->content_frames;
    report->trailer_frames = structure->trailer_frames;
    for (int32_t i = 0; i < structure->marker_count; i++)
        report->markers.push_back(
            {design.markers[size_t(i)], marker_crc(report->codes, size_t(i)), structure->classes[size_t(i)]});
    if (!design.frames.empty())
        report->video_length =
            double(report->start_ns + design.frames.back().time_ns + design.frames.back().duration) / 1e9;
}

bool add_audio(const ClipDesign& design, const std::vector<int16_t>& sound, ExpectedReport* report, std::string* error)
{
    ToneDetectorPtr detector(tone_detector_new(design.params.audio_rate));
    tone_detector_process(detector.get(), sound.data(), sound.size());
    report->beeps = tone_detector_get_markers(detector.get());
    report->audio_length = double(report->start_ns) / 1e9 + double(sound.size()) / design.params.audio_rate;
    if (report->beeps.size() == design.beep_starts.size())
        return true;
    char text[200];
    snprintf(text, sizeof text,
        "the beep detector finds %zu beeps where %zu were written: lengthen the flash period "
        "or shorten the beeps",
        report->beeps.size(), design.beep_starts.size());
    *error = text;
    return false;
}

// Sample index to ns after the first sample, truncated as the analyser does.
int64_t sample_ns(const ClipDesign& design, int32_t sample)
{
    return int64_t{sample} * 1000000000 / design.params.audio_rate;
}

// The i-th frame with a black lip-sync marker pairs with the i-th beep.
void add_lipsync(const ClipDesign& design, ExpectedReport* report)
{
    const auto last_rgb6 = std::find_if(report->markers.rbegin(), report->markers.rend(),
        [](const ExpectedMarker& m) { return m.marker_class.type == MARKER_TYPE_RGB6; });
    if (last_rgb6 == report->markers.rend())
        return;
    const size_t lipsync = size_t(report->markers.rend() - last_rgb6 - 1);
    for (size_t j = 0; j < report->codes.size(); j++) {
        if (report->codes[j][lipsync] != 'k')
            continue;
        if (size_t(report->video_markers) < report->beeps.size()) {
            const AudioMarker& beep = report->beeps[size_t(report->video_markers)];
            const double delay = double(sample_ns(design, beep.start) - int64_t(design.frames[j].time_ns)) / 1e6;
            const bool first = report->video_markers == 0;
            report->delay_min_ms = first ? delay : std::min(report->delay_min_ms, delay);
            report->delay_max_ms = first ? delay : std::max(report->delay_max_ms, delay);
        }
        report->video_markers++;
    }
}

void add_warnings(const ClipDesign& design, ExpectedReport* report)
{
    const std::vector<DeliveredFrame>& frames = design.frames;
    for (size_t k = 1; k < frames.size(); k++) {
        const int64_t offset = int64_t(frames[k].time_ns - frames[k - 1].time_ns - frames[k - 1].duration);
        if (offset > kGapTolerance || offset < -kGapTolerance)
            report->warnings.push_back(
                "Gap in video times (frame " + std::to_string(k + 1) + ", offset = " + seconds_text(offset) + " s)");
    }
    if (report->start_ns <= kGapTolerance)
        return;
    if (design.params.video)
        report->warnings.push_back(
            "Video time does not start from 0 (offset = " + seconds_text(report->start_ns) + " s)");
    if (design.params.audio)
        report->warnings.push_back(
            "Audio time does not start from 0 (offset = " + seconds_text(report->start_ns) + " s)");
}

const char* type_name(int32_t type)
{
    switch (type) {
    case MARKER_TYPE_SYNCMARK: return "SYNCMARK";
    case MARKER_TYPE_FRAMEID: return "FRAMEID";
    case MARKER_TYPE_RGB6: return "RGB6";
    default: return "UNKNOWN";
    }
}

std::string quoted(const std::string& text)
{
    std::string result = "\"";
    result += json_escape(text);
    result += '"';
    return result;
}

void write_markers(FILE* out, const ExpectedReport& report)
{
    fprintf(out, "  \"markers_found\": %zu,\n  \"markers\": [", report.markers.size());
    for (size_t i = 0; i < report.markers.size(); i++) {
        const ExpectedMarker& m = report.markers[i];
        fprintf(out,
            "%s\n    {\"index\": %zu, \"pos\": [%d, %d], \"size\": [%d, %d], \"crc\": \"%08x\", \"type\": \"%s\"",
            i == 0 ? "" : ",", i, m.box.left, m.box.top, m.box.size, m.box.size, m.crc, type_name(m.marker_class.type));
        if (m.marker_class.type == MARKER_TYPE_SYNCMARK || m.marker_class.type == MARKER_TYPE_FRAMEID)
            fprintf(out, ", \"interval\": %d", m.marker_class.interval);
        fputs("}", out);
    }
    fputs("\n  ],\n", out);
    fprintf(out,
        "  \"video_structure\": {\"header_frames\": %d, \"locator_frames\": %d, \"content_frames\": %d, "
        "\"trailer_frames\": %d},\n",
        report.header_frames, report.locator_frames, report.content_frames, report.trailer_frames);
}

void write_lipsync(FILE* out, const ExpectedReport& report)
{
    fprintf(out, "  \"lipsync\": {\"audio_markers\": %zu, \"video_markers\": %d", report.beeps.size(),
        report.video_markers);
    if (!report.beeps.empty() && report.video_markers != 0)
        fprintf(out, ", \"audio_delay_min_ms\": %.4f, \"audio_delay_max_ms\": %.4f", report.delay_min_ms,
            report.delay_max_ms);
    fputs("},\n", out);
}

// The frames.txt timeline in microseconds from the start of the clip (the analyser's times
// may add the demuxer's start).
void write_timeline(FILE* out, const ClipDesign& design, const ExpectedReport& report)
{
    fputs("  \"frames\": [", out);
    for (size_t j = 0; j < report.codes.size(); j++)
        fprintf(out, "%s\n    {\"time_us\": %lld, \"code\": \"%s\"}", j == 0 ? "" : ",",
            (long long)(design.frames[j].time_ns / 1000), report.codes[j].c_str());
    fputs("\n  ],\n  \"beeps\": [", out);
    for (size_t i = 0; i < report.beeps.size(); i++) {
        const int64_t start = sample_ns(design, report.beeps[i].start);
        const int64_t end = sample_ns(design, report.beeps[i].end);
        fprintf(out, "%s\n    {\"start_us\": %lld, \"duration_us\": %lld}", i == 0 ? "" : ",",
            (long long)(start / 1000), (long long)((end - start) / 1000));
    }
    fputs("\n  ]\n", out);
}

void write_report(FILE* out, const std::string& clip_path, const ClipDesign& design, const Encoding& encoding,
    const ExpectedReport& report)
{
    const ClipParams& params = design.params;
    const auto codec_fields = [&](const char* stream, const Codec* codec) {
        fprintf(out, "  \"%s_codec\": %s, \"%s_lossless\": %s,\n", stream, codec ? quoted(codec->name).c_str() : "null",
            stream, codec && codec->lossless ? "true" : "false");
    };
    fprintf(out, "{\n  \"file\": %s,\n  \"container\": %s,\n", quoted(clip_path).c_str(),
        quoted(encoding.container->extension).c_str());
    codec_fields("video", encoding.video);
    codec_fields("audio", encoding.audio);
    fprintf(out, "  \"audio_delay_ms\": %.4f,\n", params.audio_delay_ms);
    fprintf(out, "  \"resolution\": [%d, %d],\n", params.video ? params.width : 0, params.video ? params.height : 0);
    if (params.video)
        fprintf(out, "  \"framerate\": %.6f,\n", double(params.fps.num) / params.fps.den);
    else
        fputs("  \"framerate\": \"variable\",\n", out);
    fprintf(out, "  \"audio_rate\": %d,\n", params.audio ? params.audio_rate : 0);
    fprintf(out, "  \"total_frames\": %zu,\n", report.codes.size());
    fprintf(out, "  \"video_length\": %.6f,\n  \"audio_length\": %.6f,\n", report.video_length, report.audio_length);
    write_markers(out, report);
    write_lipsync(out, report);
    fputs("  \"warnings\": [", out);
    for (size_t i = 0; i < report.warnings.size(); i++)
        fprintf(out, "%s%s", i == 0 ? "" : ", ", quoted(report.warnings[i]).c_str());
    fputs("],\n", out);
    write_timeline(out, design, report);
    fputs("}\n", out);
}

} // namespace

bool expected_report_make(const ClipDesign& design, const Encoding& encoding, const std::vector<int16_t>& sound,
    ExpectedReport* report, std::string* error)
{
    *report = ExpectedReport{};
    report->start_ns = design.params.start_ns + encoding.container->demuxed_start;
    add_video(design, report);
    if (design.params.audio && !add_audio(design, sound, report, error))
        return false;
    add_lipsync(design, report);
    add_warnings(design, report);
    return true;
}

bool expected_report_write(const std::string& path, const std::string& clip_path, const ClipDesign& design,
    const Encoding& encoding, const ExpectedReport& report, std::string* error)
{
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    write_report(out, clip_path, design, encoding, report);
    const bool written = !ferror(out);
    if (fclose(out) != 0 || !written) {
        *error = "cannot write " + path + ": " + strerror(errno);
        remove(path.c_str());
        return false;
    }
    return true;
}
