// Broken, unusual and hostile inputs: every run ends with a clear exit code, never a signal
// or a hang; a failure names its cause on standard error and passes no report off as whole.
#include "support/media.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double kRunTimeout = 60; // seconds for one analysis

ProcessResult analyze(const std::vector<std::string>& prefix, const std::string& path, const std::string& cwd)
{
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {SKELV_ANALYZER, path});
    ProcessResult result = run_process(argv, kRunTimeout, cwd);
    EXPECT_FALSE(result.timed_out) << path;
    EXPECT_EQ(result.signal, 0) << path << "\n" << result.err;
    return result;
}

ProcessResult analyze(const std::string& path, const std::string& cwd)
{
    return analyze({}, path, cwd);
}

std::string first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// The whole report, or a test failure when standard output is not one JSON document.
nlohmann::json report_of(const ProcessResult& result)
{
    EXPECT_EQ(result.exit_code, 0) << result.err;
    nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << result.out;
    return report;
}

std::string random_bytes(size_t count)
{
    std::mt19937 generator(20240601);
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

constexpr int kClipFrames = 50;

// A clip of two seconds, 160x120 at 25 fps with a 48 kHz tone, made once per test program
// on first use.
std::string shared_clip(const std::string& name, const std::vector<std::string>& codec_args)
{
    static const TempDir dir;
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=2",
                                     "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2"};
    args.insert(args.end(), codec_args.begin(), codec_args.end());
    args.push_back(dir.file(name));
    EXPECT_TRUE(ffmpeg(args));
    return dir.file(name);
}

const std::vector<std::string> kH264Aac = {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"};

// ffmpeg's default MP4 puts its index (the moov atom) after the media data.
const std::string& mp4_index_last()
{
    static const std::string path = shared_clip("index-last.mp4", kH264Aac);
    return path;
}

const std::string& mp4_index_first()
{
    std::vector<std::string> args = kH264Aac;
    args.insert(args.end(), {"-movflags", "+faststart"});
    static const std::string path = shared_clip("index-first.mp4", args);
    return path;
}

const std::string& webm_clip()
{
    static const std::string path = shared_clip("clip.webm", {"-c:v", "libvpx", "-c:a", "libopus"});
    return path;
}

std::string prefix_of(const std::string& path, double fraction)
{
    const std::string bytes = read_file(path);
    return bytes.substr(0, static_cast<size_t>(double(bytes.size()) * fraction));
}

// A WAV header declaring `rate` Hz, mono 16-bit, followed by `samples` samples.
std::string wav(uint32_t rate, uint32_t samples)
{
    const auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    const std::string data(size_t(samples) * 2, '\x10');
    return "RIFF" + le32(36 + uint32_t(data.size())) + "WAVE" + "fmt " + le32(16) + std::string("\x01\x00\x01\x00", 4) +
           le32(rate) + le32(rate * 2) + std::string("\x02\x00\x10\x00", 4) + "data" + le32(uint32_t(data.size())) +
           data;
}

// ---------------------------------------------------------------- runs that must fail

struct FailingCase {
    const char* name;
    // Writes the input into `dir` and returns its path.
    std::string (*make)(const TempDir& dir);
    // First line of standard error; "{path}" stands for the input's path.
    std::string message;
};

void PrintTo(const FailingCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string with_path(std::string text, const std::string& path)
{
    const size_t at = text.find("{path}");
    return at == std::string::npos ? text : text.replace(at, 6, path);
}

const FailingCase kFailingCases[] = {
    {"missing", [](const TempDir& dir) { return dir.file("missing.mp4"); },
     "Error from filesrc0: Resource not found."},
    {"directory",
     [](const TempDir& dir) {
         std::filesystem::create_directory(dir.file("clip.mp4"));
         return dir.file("clip.mp4");
     },
     "Error from filesrc0: \"{path}\" is a directory."},
    {"zero_bytes",
     [](const TempDir& dir) {
         write_file(dir.file("empty.mp4"), "");
         return dir.file("empty.mp4");
     },
     "Error from typefind: Stream contains no data."},
    {"random_bytes",
     [](const TempDir& dir) {
         write_file(dir.file("noise.mp4"), random_bytes(65536));
         return dir.file("noise.mp4");
     },
     "Error from typefind: Could not determine type of stream."},
    {"text_named_mp4",
     [](const TempDir& dir) {
         write_file(dir.file("notes.mp4"), "These are not the frames you are looking for.\n");
         return dir.file("notes.mp4");
     },
     "Error from typefind: Could not determine type of stream."},
    {"mp4_cut_before_its_index",
     [](const TempDir& dir) {
         write_file(dir.file("half.mp4"), prefix_of(mp4_index_last(), 0.5));
         return dir.file("half.mp4");
     },
     "Error from qtdemux0: This file contains no playable streams."},
    {"mp4_without_moov",
     [](const TempDir& dir) {
         std::string bytes = read_file(mp4_index_first());
         const size_t moov = bytes.find("moov");
         if (moov != std::string::npos)
             bytes.replace(moov, 4, "free");
         write_file(dir.file("nomoov.mp4"), bytes);
         return dir.file("nomoov.mp4");
     },
     "Error from qtdemux0: This file contains no playable streams."},
    {"wav_at_0_hz",
     [](const TempDir& dir) {
         write_file(dir.file("zero.wav"), wav(0, 4000));
         return dir.file("zero.wav");
     },
     "Error from wavparse0: GStreamer encountered a general stream error."},
    {"frame_too_large_to_analyse",
     [](const TempDir& dir) {
         ffmpeg({"-f", "lavfi", "-i", "color=black:size=8200x8200", "-frames:v", "1", "-pix_fmt", "gray",
                 dir.file("huge.png")});
         return dir.file("huge.png");
     },
     "Frames of 8200x8200 pixels are too large: at most 67108864 pixels per frame are analysed"},
};

class FailingInput : public ::testing::TestWithParam<FailingCase> {};

TEST_P(FailingInput, FailsTheFirstPassBeforeAnyReportLine)
{
    TempDir dir;
    const std::string path = GetParam().make(dir);
    ProcessResult result = analyze(path, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(first_line(result.err), with_path(GetParam().message, path)) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("frames.txt")));
}

INSTANTIATE_TEST_SUITE_P(BadInput, FailingInput, ::testing::ValuesIn(kFailingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Root reads any file whatever its mode, so as root the analyser runs as "nobody".
TEST(UnreadableInput, FailsWithThePermissionError)
{
    TempDir dir;
    const std::string path = dir.file("locked.mp4");
    write_file(path, read_file(mp4_index_first()));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    std::vector<std::string> as_nobody;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv: no way to lose read permission";
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    ProcessResult result = analyze(as_nobody, path, "/");
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(first_line(result.err), "Error from filesrc0: Could not open file \"" + path + "\" for reading.");
    EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

// ---------------------------------------------------------------- runs that complete

struct CompletingCase {
    const char* name;
    std::string (*make)(const TempDir& dir);
    nlohmann::json expected; ///< report fields and their values; others are not checked
};

void PrintTo(const CompletingCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string made_by_ffmpeg(const TempDir& dir, const char* name, std::vector<std::string> args)
{
    args.push_back(dir.file(name));
    EXPECT_TRUE(ffmpeg(args));
    return dir.file(name);
}

const CompletingCase kCompletingCases[] = {
    {"audio_only",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "audio.m4a",
                               {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1", "-c:a", "aac"});
     },
     {{"video_decoder", "(null)"},
      {"audio_decoder", "avdec_aac"},
      {"resolution", {0, 0}},
      {"framerate", "variable"},
      {"audio_rate", 48000},
      {"total_frames", 0},
      {"video_length", 0.0},
      {"markers_found", 0}}},
    {"video_only",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "video.mp4",
                               {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-c:v", "libx264"});
     },
     {{"audio_decoder", "(null)"},
      {"resolution", {64, 48}},
      {"audio_rate", 0},
      {"total_frames", 25},
      {"audio_length", 0.0},
      {"lipsync", {{"audio_markers", 0}, {"video_markers", 0}}}}},
    {"still_jpeg",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "still.jpg", {"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"});
     },
     {{"video_decoder", "jpegdec"}, {"resolution", {64, 48}}, {"total_frames", 1}, {"audio_rate", 0}}},
    {"frame_1x1",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "tiny.mkv",
                               {"-f", "lavfi", "-i", "testsrc=size=1x1:rate=25:duration=0.4", "-c:v", "ffv1"});
     },
     {{"resolution", {1, 1}}, {"total_frames", 10}, {"markers_found", 0}, {"markers", nlohmann::json::array()}}},
    {"frame_16x16",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "small.mkv",
                               {"-f", "lavfi", "-i", "testsrc=size=16x16:rate=25:duration=0.4", "-c:v", "ffv1"});
     },
     {{"resolution", {16, 16}}, {"total_frames", 10}, {"markers_found", 0}}},
    {"frame_3840x2160",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "uhd.mp4",
                               {"-f", "lavfi", "-i", "testsrc=size=3840x2160:rate=25:duration=0.12", "-c:v",
                                "libx264", "-preset", "ultrafast"});
     },
     {{"resolution", {3840, 2160}}, {"total_frames", 3}, {"video_length", 0.12}}},
    {"two_audio_streams",
     [](const TempDir& dir) {
         return made_by_ffmpeg(dir, "two.mkv",
                               {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-f", "lavfi", "-i",
                                "sine=frequency=440:sample_rate=48000:duration=1", "-f", "lavfi", "-i",
                                "sine=frequency=1000:sample_rate=44100:duration=1", "-map", "0", "-map", "1", "-map",
                                "2", "-c:v", "mpeg4", "-c:a", "pcm_s16le"});
     },
     // Only the first audio stream is decoded.
     {{"audio_rate", 48000}, {"total_frames", 25}, {"audio_length", 1.0}}},
    {"subtitle_stream",
     [](const TempDir& dir) {
         write_file(dir.file("lines.srt"), "1\n00:00:00,000 --> 00:00:00,500\nHello\n");
         return made_by_ffmpeg(dir, "subtitled.mkv",
                               {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-f", "lavfi", "-i",
                                "sine=frequency=440:sample_rate=48000:duration=1", "-i", dir.file("lines.srt"), "-map",
                                "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a", "pcm_s16le", "-c:s", "srt"});
     },
     {{"audio_rate", 48000}, {"total_frames", 25}, {"video_length", 1.0}}},
    // The detector's phasor table must not be built for a rate no recording can have.
    {"wav_at_2000000000_hz",
     [](const TempDir& dir) {
         write_file(dir.file("fast.wav"), wav(2000000000, 4000));
         return dir.file("fast.wav");
     },
     {{"audio_rate", 2000000000}, {"total_frames", 0}, {"lipsync", {{"audio_markers", 0}, {"video_markers", 0}}}}},
    {"wav_at_1_hz",
     [](const TempDir& dir) {
         write_file(dir.file("slow.wav"), wav(1, 4000));
         return dir.file("slow.wav");
     },
     {{"audio_rate", 1}, {"audio_length", 4000.0}, {"lipsync", {{"audio_markers", 0}, {"video_markers", 0}}}}},
};

class CompletingInput : public ::testing::TestWithParam<CompletingCase> {};

TEST_P(CompletingInput, PrintsAWholeReport)
{
    TempDir dir;
    const std::string path = GetParam().make(dir);
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    for (const auto& [field, value] : GetParam().expected.items())
        EXPECT_EQ(report.value(field, nlohmann::json()), value) << field;
}

INSTANTIATE_TEST_SUITE_P(BadInput, CompletingInput, ::testing::ValuesIn(kCompletingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- damaged media data

// Decoders drop what they cannot read; what survives is reported as a whole run.
TEST(DamagedInput, Mp4CutInHalfReportsTheFramesBeforeTheCut)
{
    TempDir dir;
    const std::string path = dir.file("half.mp4");
    write_file(path, prefix_of(mp4_index_first(), 0.5));
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    EXPECT_GT(report["total_frames"], 0);
    EXPECT_LT(report["total_frames"], kClipFrames);
    EXPECT_LT(report["video_length"], 2.0);
}

TEST(DamagedInput, WebmCutMidClusterReportsTheFramesBeforeTheCut)
{
    TempDir dir;
    const std::string path = dir.file("half.webm");
    write_file(path, prefix_of(webm_clip(), 0.5));
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    EXPECT_GT(report["total_frames"], 0);
    EXPECT_LT(report["total_frames"], kClipFrames);
}

TEST(DamagedInput, Mp4WithItsMiddleOverwrittenWarnsOfTheGap)
{
    TempDir dir;
    std::string bytes = read_file(mp4_index_first());
    const size_t third = bytes.size() / 3;
    bytes.replace(third, third, std::string(third, '\0'));
    const std::string path = dir.file("damaged.mp4");
    write_file(path, bytes);
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    EXPECT_LT(report["total_frames"], kClipFrames);
    // Where the audio gap falls among them depends on how the two decodes interleave.
    const nlohmann::json& warnings = report["warnings"];
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const nlohmann::json& warning) {
        return warning.get<std::string>().rfind("Gap in video times (frame ", 0) == 0;
    })) << warnings;
}

// ---------------------------------------------------------------- chained files

// Ogg clips played one after the other: the decoding bin brings new pads for each clip.
std::string chained_ogg(const TempDir& dir, const std::vector<std::string>& sizes)
{
    std::string bytes;
    for (const std::string& size : sizes) {
        const std::string part = dir.file("part.ogg");
        EXPECT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=25:duration=2", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=48000:duration=2", "-c:v", "libtheora", "-c:a",
                            "libvorbis", part}));
        bytes += read_file(part);
    }
    const std::string path = dir.file("chained.ogg");
    write_file(path, bytes);
    return path;
}

TEST(ChainedInput, EqualClipsAreAnalysedToTheEnd)
{
    TempDir dir;
    const std::string path = chained_ogg(dir, {"64x48", "64x48"});
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    EXPECT_EQ(report["total_frames"], 2 * kClipFrames);
}

TEST(ChainedInput, LargerSecondClipEndsTheFirstPassNamingTheFrame)
{
    TempDir dir;
    const std::string path = chained_ogg(dir, {"64x48", "96x64"});
    ProcessResult result = analyze(path, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "Frame 51 is 96x64 with a row stride of 384 bytes, but the stream started at 64x48 with "
                          "a row stride of 256 bytes\n");
    EXPECT_EQ(split_lines(result.out).size(), 11u) << "the opening rows stay";
}

// ---------------------------------------------------------------- paths

TEST(AwkwardPath, StaysValidJsonWithQuotesSpacesAndNonAscii)
{
    TempDir dir;
    const std::string made = dir.file("plain.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.4", "-c:v", "ffv1", made}));
    const std::string path = dir.file("100% \"one\" \\ back\tslash n\xC3\xA4m\xC3\xA9 \xE2\x9C\x93.mkv");
    std::filesystem::rename(made, path);
    const nlohmann::json report = report_of(analyze(path, dir.path()));
    EXPECT_EQ(report["file"], path);
    EXPECT_EQ(report["total_frames"], 10);
}

} // namespace
