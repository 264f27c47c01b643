#include "analyzer/report.h"

#include "core/json_text.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

void write_string_row(FILE* out, const char* row, std::string_view value)
{
    fprintf(out, row, json_escape(value).c_str());
}

void write_element_row(FILE* out, const char* row, const std::string& name)
{
    write_string_row(out, row, name.empty() ? "(null)" : name);
}

void write_marker_type(FILE* out, const MarkerClass& marker_class)
{
    switch (marker_class.type) {
    case MARKER_TYPE_SYNCMARK: fprintf(out, "\"type\": \"SYNCMARK\", \"interval\": %d", marker_class.interval); break;
    case MARKER_TYPE_FRAMEID: fprintf(out, "\"type\": \"FRAMEID\", \"interval\": %d", marker_class.interval); break;
    case MARKER_TYPE_RGB6: fputs("\"type\": \"RGB6\"", out); break;
    default: fputs("\"type\": \"UNKNOWN\"", out); break;
    }
}

void write_markers(FILE* out, const AnalysisRun& run)
{
    fputs("    \"markers\": [\n", out);
    const int32_t count = static_cast<int32_t>(run.markers.size());
    for (int32_t i = 0; i < count; i++) {
        const MarkerRect& m = run.markers[i];
        fprintf(out, "      {\"index\": %3d, \"pos\": [%4d,%4d], \"size\": [%3d,%3d], \"crc\": \"%08x\", ", i, m.left,
                m.top, m.right - m.left + 1, m.bottom - m.top + 1, m.crc);
        // Without a frame in the second pass a marker has no class.
        const VideoStructure& structure = run.structure;
        write_marker_type(out, i < structure.marker_count ? structure.classes[i] : MarkerClass{MARKER_TYPE_UNKNOWN, 0});
        fputs(i == count - 1 ? "}\n" : "},\n", out);
    }
    fputs("    ],\n", out);
}

void write_video_structure(FILE* out, const VideoStructure& structure)
{
    fputs("    \"video_structure\": {\n", out);
    fprintf(out, "      \"header_frames\": %8d,\n", structure.header_frames);
    fprintf(out, "      \"locator_frames\":%8d,\n", structure.locator_frames);
    fprintf(out, "      \"content_frames\":%8d,\n", structure.content_frames);
    fprintf(out, "      \"trailer_frames\":%8d\n", structure.trailer_frames);
    fputs("    },\n", out);
}

void write_lipsync(FILE* out, const LipsyncSummary& summary)
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

void write_warnings(FILE* out, const std::vector<std::string>& warnings)
{
    fputs("    \"warnings\": [\n", out);
    for (size_t i = 0; i < warnings.size(); i++)
        fprintf(out, "      \"%s\"%s\n", json_escape(warnings[i]).c_str(), i + 1 < warnings.size() ? "," : "");
    fputs("    ]\n", out);
}

} // namespace

void report_write_opening(FILE* out, const AnalysisRun& run)
{
    fputs("{\n", out);
    write_string_row(out, "    \"file\":           \"%s\",\n", run.file);
    const StreamElements& e = run.elements;
    write_element_row(out, "    \"demuxer\":        \"%s\",\n", e.demuxer);
    write_element_row(out, "    \"video_decoder\":  \"%s\",\n", e.video_decoder);
    write_element_row(out, "    \"audio_decoder\":  \"%s\",\n", e.audio_decoder);
    write_element_row(out, "    \"muxer\":          \"%s\",\n", e.muxer);
    write_element_row(out, "    \"video_encoder\":  \"%s\",\n", e.video_encoder);
    write_element_row(out, "    \"audio_encoder\":  \"%s\",\n", e.audio_encoder);
    fprintf(out, "    \"resolution\":     [%d,%d],\n", run.video_width, run.video_height);
    if (run.framerate == 0)
        fputs("    \"framerate\":    \"variable\",\n", out);
    else
        fprintf(out, "    \"framerate\":    %8.2f,\n", static_cast<double>(run.framerate));
    fprintf(out, "    \"audio_rate\":   %8d,\n", run.audio_rate);
}

void report_write_totals(FILE* out, const AnalysisRun& run)
{
    fprintf(out, "    \"total_frames\": %8d,\n", run.total_frames);
    fprintf(out, "    \"video_length\": %8.3f,\n", static_cast<double>(seconds_from_ns(run.video_end)));
    fprintf(out, "    \"audio_length\": %8.3f,\n", static_cast<double>(seconds_from_ns(run.audio_end)));
    fprintf(out, "    \"markers_found\":%8d,\n", static_cast<int>(run.markers.size()));
}

void report_write_results(FILE* out, const AnalysisRun& run)
{
    write_markers(out, run);
    write_video_structure(out, run.structure);
    write_lipsync(out, run.lipsync);
    if (run.frame_data != nullptr)
        fprintf(out, "    \"frame_data\": \"%s\",\n", json_escape(run.frame_data).c_str());
    write_warnings(out, run.warnings);
    fputs("}\n", out);
}

bool report_flush(FILE* out, std::string* failure)
{
    errno = 0;
    const bool flushed = fflush(out) == 0;
    if (flushed && !ferror(out))
        return true;
    // A failure in an earlier, implicit flush leaves only the stream's error flag behind.
    *failure = flushed || errno == 0 ? "write error" : strerror(errno);
    return false;
}
