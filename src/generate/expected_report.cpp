#include "generate/expected_report.h"

#include "core/clip_constants.h"
#include "core/json_text.h"
#include "generate/beep_edges.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace skelv {

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

// The letters the marker shows in the content frames as written.
std::string content_column(const ClipDesign& design, const ExpectedReport& report, size_t marker)
{
    std::string column;
    for (size_t j = 0; j < design.frames.size(); j++)
        if (clip_design_span(design.params, design.frames[j].design) == Span::Content)
            column += report.codes[j][marker];
    return column;
}

// Dropped and repeated frames shift what a marker shows against where the reader expects
// it. The marker keeps its type while every content frame as written still shows the
// letter of its position; a flash may stand in for one colour of the lip-sync marker's
// cycle, never for two in a row. The markers' first blinks stay whole (clip_design_make),
// so a blinking marker that keeps its pattern keeps its half-period too.
bool keeps_pattern(const MarkerBox& marker, const std::string& column)
{
    for (size_t offset = 0; offset < column.size(); offset++) {
        const char shown = column[offset];
        const bool flash_stands_in =
            marker.kind == MarkerKind::Rgb6 && shown == 'k' && (offset == 0 || column[offset - 1] != 'k');
        if (shown != clip_design_content_letter(marker, int(offset)) && !flash_stands_in)
            return false;
    }
    return true;
}

void add_video(const ClipDesign& design, ExpectedReport* report)
{
    for (const DeliveredFrame& frame : design.frames) {
        report->codes.push_back(clip_design_code(design, frame.design));
        switch (clip_design_span(design.params, frame.design)) {
        case Span::Header: report->header_frames++; break;
        case Span::Locator: report->locator_frames++; break;
        case Span::Content: report->content_frames++; break;
        case Span::Trailer: report->trailer_frames++; break;
        }
    }
    if (design.frames.empty())
        return;
    for (size_t i = 0; i < design.markers.size(); i++)
        report->markers.push_back({design.markers[i], marker_crc(report->codes, i),
            keeps_pattern(design.markers[i], content_column(design, *report, i))});
    report->video_length =
        double(report->start_ns + design.frames.back().time_ns + design.frames.back().duration) / 1e9;
}

// Every beep is the same, so the detector puts its edges at the same distance from each.
bool add_audio(const ClipDesign& design, ExpectedReport* report, std::string* error)
{
    const ClipParams& params = design.params;
    report->audio_length = double(report->start_ns) / 1e9 + double(design.audio_samples) / params.audio_rate;
    BeepEdges edges{};
    if (!design.beep_starts.empty() && !beep_edges_find(clip_design_beep(params), params.audio_rate, &edges)) {
        char text[160];
        snprintf(text, sizeof text, "beeps of %d ms at %d Hz are too short for the beep detector: lengthen them",
            params.beep_ms, params.audio_rate);
        *error = text;
        return false;
    }
    for (int64_t start : design.beep_starts)
        report->beeps.push_back({std::max<int64_t>(start + edges.start, 0), start + edges.end});
    return true;
}

// Sample index to ns after the first sample, truncated as the analyser does.
int64_t sample_ns(const ClipDesign& design, int64_t sample)
{
    return sample * 1000000000 / design.params.audio_rate;
}

// The i-th frame with a black lip-sync marker pairs with the i-th beep. The analyser has
// no lip-sync marker when the cycle is broken.
void add_lipsync(const ClipDesign& design, ExpectedReport* report)
{
    const auto lipsync = std::find_if(report->markers.begin(), report->markers.end(),
        [](const ExpectedMarker& m) { return m.box.kind == MarkerKind::Rgb6 && m.keeps_pattern; });
    if (lipsync == report->markers.end())
        return;
    const size_t marker = size_t(lipsync - report->markers.begin());
    for (size_t j = 0; j < report->codes.size(); j++) {
        if (report->codes[j][marker] != 'k')
            continue;
        if (size_t(report->video_markers) < report->beeps.size()) {
            const ExpectedBeep& beep = report->beeps[size_t(report->video_markers)];
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

const char* type_name(const ExpectedMarker& marker)
{
    if (!marker.keeps_pattern)
        return "UNKNOWN";
    switch (marker.box.kind) {
    case MarkerKind::SyncMark: return "SYNCMARK";
    case MarkerKind::FrameId: return "FRAMEID";
    case MarkerKind::Rgb6: return "RGB6";
    }
    return "UNKNOWN";
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
            i == 0 ? "" : ",", i, m.box.left, m.box.top, m.box.size, m.box.size, m.crc, type_name(m));
        if (m.keeps_pattern && m.box.kind != MarkerKind::Rgb6)
            fprintf(out, ", \"interval\": %d", m.box.half_period);
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

bool expected_report_make(const ClipDesign& design, const Encoding& encoding, ExpectedReport* report,
    std::string* error)
{
    *report = ExpectedReport{};
    report->start_ns = design.params.start_ns + encoding.container->demuxed_start;
    add_video(design, report);
    if (design.params.audio && !add_audio(design, report, error))
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

} // namespace skelv
