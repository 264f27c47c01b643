// skelv-check on a screen filmed with a camera: the generated clip through ffmpeg chains that do
// what a camera does, and a rolling shutter composed here row by row. Every event's delay is
// foretold from the clip's design and the camera's frame times.
#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace {

using nlohmann::json;

// The clip's design: 320x240 at 25 fps, 48 kHz, 5 header and 5 locator frames, a flash at
// content offsets 12, 37, 62, ..., each beep 40 ms after its flash, rounded to a sample.
constexpr int kFps = 25, kRate = 48000, kLead = 10, kFlashPeriod = 25, kSeconds = 6;
constexpr int kWidth = 320, kHeight = 240;
constexpr double kAudioDelayMs = 40;
constexpr int kLipsyncCentreRow = 32; // the lip-sync marker: 32 pixels high from row 16

struct DesignFlash {
    int64_t flash_frame; ///< content offset
    int frame;           ///< design frame
    double beep_ms;      ///< the beep's first sample
};

std::vector<DesignFlash> design_flashes(int seconds = kSeconds)
{
    std::vector<DesignFlash> flashes;
    const int content = seconds * kFps - 3 * 5;
    for (int offset = kFlashPeriod / 2; offset < content; offset += kFlashPeriod) {
        const int frame = kLead + offset;
        const double sample = std::llround((double(frame) / kFps + kAudioDelayMs / 1000) * kRate);
        flashes.push_back({offset, frame, sample * 1000 / kRate});
    }
    return flashes;
}

// Every design flash paired, each flash shown at `video_ms(frame)`, within `tolerance_ms`.
template <typename VideoMs>
void expect_events(const json& result, VideoMs video_ms, double tolerance_ms, const std::string& what)
{
    const json& events = result["sync"]["events"];
    const std::vector<DesignFlash> design = design_flashes();
    ASSERT_EQ(events.size(), design.size()) << what << "\n" << result["warnings"].dump();
    for (size_t e = 0; e < design.size(); ++e) {
        EXPECT_EQ(events[e]["flash_frame"], design[e].flash_frame) << what;
        EXPECT_NEAR(events[e]["delay_ms"].get<double>(), design[e].beep_ms - video_ms(design[e].frame), tolerance_ms)
            << what << ", flash " << design[e].flash_frame;
    }
}

class CameraRuns : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        const ProcessResult made = generate({"--size", std::to_string(kWidth) + "x" + std::to_string(kHeight),
            "--duration", std::to_string(kSeconds), "--audio-delay", std::to_string(int(kAudioDelayMs)), "clip.mkv"},
            dir_->path());
        ASSERT_EQ(made.exit_code, 0) << made.err;
    }
    static void TearDownTestSuite() { delete dir_; }

    static json checked(const std::string& recording, std::vector<std::string> args, ProcessResult* run)
    {
        args.insert(args.end(), {"--json", dir_->file(recording + ".json"), dir_->file(recording)});
        *run = check(args, dir_->path());
        return json_file(dir_->file(recording + ".json"));
    }

    static TempDir* dir_;
};
TempDir* CameraRuns::dir_ = nullptr;

// The clip at 70 % of the camera's height on a grey room, as a camera sees a screen.
const std::string kScreen = "scale=336:252,pad=640:360:152:54:color=0x606060,"
                            "perspective=x0=10:y0=5:x1=630:y1=15:x2=0:y2=360:x3=640:y3=345:sense=destination,"
                            "gblur=sigma=2,noise=alls=8:allf=t,eq=brightness='0.04*sin(2*PI*t/5)':eval=frame,"
                            "vignette=angle=PI/3.5";

// ffmpeg's fps filter shows in output frame n the latest source frame whose time, rounded to the
// nearest output frame, is not after it: a flash of design frame f first at round(f * fps / 25).
double shown_at_ms(int frame, int camera_fps)
{
    return std::round(double(frame) * camera_fps / kFps) * 1000 / camera_fps;
}

TEST_F(CameraRuns, EveryEventOfAFilmedScreenReadsTheDesignedDelay)
{
    const struct {
        const char* name;
        std::string filters;
        int camera_fps;
    } cases[] = {
        {"screen", kScreen, kFps},
        {"mirrored", "hflip," + kScreen, kFps},
        // A hand-held camera: the picture sways 4 pixels each way over 6 s.
        {"shake", kScreen + ",crop=620:340:x='10+4*sin(2*PI*t/6)':y='10+3*cos(2*PI*t/6)'", kFps},
        {"camera60", kScreen + ",fps=60", 60},
        {"camera240", kScreen + ",fps=240", 240},
        // The corners of the clip at under half the brightness of its middle.
        {"dark corners", kScreen + ",vignette=angle=PI/3.5", kFps},
        // A television in the room plays a test picture beside the screen.
        {"moving", kScreen + "[screen];testsrc2=s=120x90:r=25[tv];[screen][tv]overlay=x=510:y=250:shortest=1", kFps},
    };
    for (const auto& c : cases) {
        const std::string name = std::string(c.name) + ".mkv";
        ASSERT_TRUE(ffmpeg({"-i", dir_->file("clip.mkv"), "-filter_complex", "[0:v]" + c.filters, "-c:v", "libx264",
            "-crf", "18", "-preset", "veryfast", "-c:a", "copy", dir_->file(name)}));
        ProcessResult run;
        const json result = checked(name, {}, &run);
        EXPECT_EQ(run.exit_code, 0) << c.name << "\n" << run.err;
        // Matroska keeps milliseconds.
        expect_events(result, [&](int frame) { return shown_at_ms(frame, c.camera_fps); }, 1.0, c.name);
        EXPECT_FALSE(result["video"].contains("line_time_us")) << c.name;
    }
}

// A rolling shutter of `line_us` a row: row y of camera frame n shows the screen at n / fps +
// start + y * line time, or over the exposure up to then. By default the screen is the clip at the bottom of a frame twice its
// height, and the camera starts `start_samples` after it (its sound cut by as much), so that the
// flash's edge passes above the clip and never through the marker.
struct RollingCamera {
    int fps_num = 50, fps_den = 1;
    double line_us = 40;   // 480 rows in 19.2 ms, within the 20 ms frame
    int start_samples = 518;
    int rows = 2 * kHeight;
    int top = kHeight;     // the camera row of the clip's first
    double exposure_ms = 0;

    double fps() const { return double(fps_num) / fps_den; }
    double start_ms() const { return start_samples * 1000.0 / kRate; }
    int lipsync_row() const { return top + kLipsyncCentreRow; }
    double row_ms() const { return lipsync_row() * line_us / 1000; }
    // The camera frame time (in the recording) in which the row of the lip-sync marker first shows
    // design frame `frame`: over at least half its exposure.
    double first_seen_ms(int frame) const
    {
        const double screen_ms = frame * 1000.0 / kFps + exposure_ms / 2 - start_ms() - row_ms();
        return std::ceil(screen_ms * fps() / 1000 - 1e-9) * 1000 / fps();
    }
};

// The camera's frames from the clip's decoded frames (yuv420p, 25 fps), as raw yuv420p.
void film_rolling(const RollingCamera& camera, const std::string& decoded, const std::string& filmed)
{
    const size_t luma = size_t(kWidth) * kHeight, frame_bytes = luma * 3 / 2;
    const std::string clip = read_file(decoded);
    const int clip_frames = int(clip.size() / frame_bytes);
    std::ofstream out(filmed, std::ios::binary);
    std::string frame(size_t(kWidth) * camera.rows * 3 / 2, '\x80');
    std::fill_n(frame.begin(), size_t(kWidth) * camera.rows, '\x60'); // a grey wall above the screen
    const auto frame_at = [&](double ms) { return std::min(int(std::floor(ms * kFps / 1000 + 1e-9)), clip_frames - 1); };
    struct Seen {
        int earlier, later;
        double later_share;
    };
    const auto seen = [&](int n, int row) { // design frames on camera row `row` of frame n
        const double ms = n * 1000.0 / camera.fps() + camera.start_ms() + row * camera.line_us / 1000;
        const int later = frame_at(ms), earlier = frame_at(ms - camera.exposure_ms);
        const double share = later == earlier ? 1 : (ms - later * 1000.0 / kFps) / camera.exposure_ms;
        return Seen{earlier, later, std::clamp(share, 0.0, 1.0)};
    };
    const auto film = [&](const Seen& s, size_t from, size_t count, size_t to) {
        for (size_t i = 0; i < count; ++i) {
            const double a = uint8_t(clip[size_t(s.earlier) * frame_bytes + from + i]);
            const double b = uint8_t(clip[size_t(s.later) * frame_bytes + from + i]);
            frame[to + i] = char(std::lround(a + s.later_share * (b - a)));
        }
    };
    const int frames = int((clip_frames - 1) * camera.fps() / kFps);
    for (int n = 0; n < frames; ++n) {
        for (int y = 0; y < kHeight; ++y) {
            const int row = camera.top + y;
            film(seen(n, row), size_t(y) * kWidth, kWidth, size_t(row) * kWidth);
        }
        for (int y = 0; y < kHeight / 2; ++y) // chroma rows, each at its upper luma row
            for (int plane = 0; plane < 2; ++plane) {
                const int row = camera.top + 2 * y;
                const size_t to = size_t(kWidth) * camera.rows * (4 + plane) / 4 + size_t(row / 2) * kWidth / 2;
                film(seen(n, row), luma + plane * luma / 4 + size_t(y) * kWidth / 2, kWidth / 2, to);
            }
        out.write(frame.data(), long(frame.size()));
    }
}

// The clip filmed by `camera` into `recording`, its sound in `audio_codec`.
bool film_recording(const TempDir& dir, const RollingCamera& camera, const std::string& recording,
                    const std::string& audio_codec)
{
    if (!std::ifstream(dir.file("clip.yuv")) &&
        !ffmpeg({"-i", dir.file("clip.mkv"), "-f", "rawvideo", "-pix_fmt", "yuv420p", dir.file("clip.yuv")}))
        return false;
    film_rolling(camera, dir.file("clip.yuv"), dir.file(recording + ".yuv"));
    const std::string cut = "atrim=start_sample=" + std::to_string(camera.start_samples) + ",asetpts=PTS-STARTPTS";
    return ffmpeg({"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", std::to_string(kWidth) + "x" +
        std::to_string(camera.rows), "-r", std::to_string(camera.fps_num) + "/" + std::to_string(camera.fps_den), "-i", dir.file(recording + ".yuv"), "-i",
        dir.file("clip.mkv"), "-map", "0:v", "-map", "1:a", "-af", cut, "-c:v", "libx264", "-crf", "18", "-preset",
        "veryfast", "-c:a", audio_codec, dir.file(recording)});
}

TEST_F(CameraRuns, ARollingShutterIsCorrectedByTheLipSyncMarkersRow)
{
    const RollingCamera camera;
    ASSERT_TRUE(film_recording(*dir_, camera, "rolling.mkv", "flac"));

    // In the recording's time the beeps come start_ms earlier; a flash shows in the first frame
    // whose marker row was exposed after it.
    ProcessResult run;
    const auto uncorrected = [&](int frame) { return camera.first_seen_ms(frame) + camera.start_ms(); };
    const json global = checked("rolling.mkv", {}, &run);
    expect_events(global, uncorrected, 1.0, "global shutter assumed");

    const std::string line_us = std::to_string(camera.line_us);
    const json rolling = checked("rolling.mkv", {"--line-time-us", line_us}, &run);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_events(rolling, [&](int frame) { return uncorrected(frame) + camera.row_ms(); }, 1.0, "rolling shutter");
    // Corrected, each delay is the design's less the time to the exposure that saw the flash.
    for (const json& event : rolling["sync"]["events"]) {
        EXPECT_LE(event["delay_ms"].get<double>(), kAudioDelayMs + 0.5);
        EXPECT_GT(event["delay_ms"].get<double>(), kAudioDelayMs - 1000.0 / camera.fps());
    }
    const json& video = rolling["video"];
    EXPECT_EQ(video["line_time_us"], camera.line_us);
    EXPECT_NEAR(video["shutter_row"].get<int>(), camera.lipsync_row(), 4);
    EXPECT_NEAR(video["shutter_correction_ms"].get<double>(), camera.row_ms(), 4 * camera.line_us / 1000);
    const std::string line = "Rolling shutter: flash times corrected by 40 \u00b5s a row (lip-sync marker at row ";
    EXPECT_NE(run.out.find("\n" + line), std::string::npos) << run.out;

    // Locked to the clip's rate, the camera never catches the screen changing inside the
    // markers: nothing to measure, and nothing corrected.
    const json unmeasured = checked("rolling.mkv", {"--line-time-us", "auto"}, &run);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_events(unmeasured, uncorrected, 1.0, "line time not measured");
    EXPECT_FALSE(unmeasured["video"].contains("line_time_us"));
    EXPECT_EQ(unmeasured["video"]["line_time_measurement"]["measured"], false);
    const std::string why = "only 0 frames caught the screen changing inside the markers, 8 are needed";
    EXPECT_EQ(unmeasured["video"]["line_time_measurement"]["why_not"], why);
    EXPECT_NE(run.out.find("Warning: The rolling shutter's line time could not be measured: " + why +
                           "; the flash times are not corrected"), std::string::npos) << run.out;
}

// A camera at 59.94 fps, not locked to the clip's 25, its 240 rows read in 15.8 ms: the screen
// changes while its rows pass the markers in about one change of nine, at a row that moves a
// millisecond's rows a second, and the line time is measured from those frames. (At a whole
// 59 fps the changes would fall on two rows only, each rounded to a whole row.) QuickTime keeps
// the frame times exact, as phones record them; Matroska rounds them to milliseconds.
TEST_F(CameraRuns, ARollingShuttersLineTimeIsMeasuredFromTheRecording)
{
    const struct {
        const char* name;
        double line_us, exposure_ms;
        const char* container;
    } cases[] = {
        {"a short exposure", 66, 0, "mkv"},
        // Each row mixes the two frames for 4 ms, twice the markers' readout: the change spreads
        // over more rows than the line time does.
        {"a long exposure", 66, 4, "mov"},
        // Every row mixes the two frames alike: no edge, and no line time made up.
        {"a global shutter", 0, 8, "mov"},
    };
    for (const auto& c : cases) {
        RollingCamera camera;
        camera.fps_num = 60000;
        camera.fps_den = 1001;
        camera.line_us = c.line_us;
        camera.start_samples = 150;
        camera.rows = kHeight;
        camera.top = 0;
        camera.exposure_ms = c.exposure_ms;
        const std::string name = "unlocked" + std::to_string(int(c.line_us)) + "-" + std::to_string(int(c.exposure_ms)) +
                                 "." + c.container;
        ASSERT_TRUE(film_recording(*dir_, camera, name, name.ends_with(".mkv") ? "flac" : "pcm_s16le"));

        ProcessResult run;
        const json result = checked(name, {"--line-time-us", "auto"}, &run);
        EXPECT_EQ(run.exit_code, 0) << c.name << "\n" << run.err;
        const auto truth = [&](int frame) { return camera.first_seen_ms(frame) + camera.start_ms() + camera.row_ms(); };
        expect_events(result, truth, 1.0, c.name);
        const json& video = result["video"];
        const json& measurement = video["line_time_measurement"];
        if (c.line_us == 0) {
            EXPECT_FALSE(video.contains("line_time_us")) << c.name << ": " << measurement.dump();
            EXPECT_EQ(measurement["measured"], false) << c.name;
            EXPECT_EQ(run.out.find("Rolling shutter:"), std::string::npos) << run.out;
            continue;
        }
        ASSERT_TRUE(video.contains("line_time_us")) << c.name << ": " << measurement.dump();
        EXPECT_NEAR(video["line_time_us"].get<double>(), camera.line_us, 0.03 * camera.line_us) << c.name;
        EXPECT_EQ(measurement["measured"], true) << c.name;
        EXPECT_GE(measurement["frames_fitted"].get<int>(), 8) << c.name;
        EXPECT_LT(measurement["uncertainty_us"].get<double>(), 0.03 * camera.line_us) << c.name;
        EXPECT_TRUE(measurement["why_not"].is_null()) << c.name;
        EXPECT_NE(run.out.find("\nRolling shutter: flash times corrected by "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(" \u00b5s a row, measured on "), std::string::npos) << run.out;
    }
}

// The camera slips and the lip-sync marker or a frame-counter marker leaves the picture: the
// screen's dark frame or the wall takes its place. After the first 10 s the markers were found
// by then; at 4 s, inside the stretch they are learnt from, they must be learnt from before it.
// A warning names the marker, the events before stay, and none is made up after.
TEST_F(CameraRuns, AMarkerThatLeavesThePictureIsNamed)
{
    constexpr int kLongSeconds = 14;
    ASSERT_EQ(generate({"--duration", std::to_string(kLongSeconds), "--audio-delay", std::to_string(int(kAudioDelayMs)),
        "long.mkv"}, dir_->path()).exit_code, 0);
    const struct {
        const char* name;
        const char* cover;
        int leaves_at_seconds;
        const char* warning;
    } cases[] = {
        {"lipsync_gone", "x=250:y=0:w=70:h=60:color=black", 11, "The lip-sync marker at (256, 16) was lost from "},
        {"bit_gone", "x=100:y=0:w=50:h=60:color=0x606060", 11,
            "The frame-counter marker of bit 1 at (112, 16) was lost from "},
        {"lipsync_gone_early", "x=250:y=0:w=70:h=60:color=black", 4, "The lip-sync marker at (256, 16) was lost from 4."},
        {"bit_gone_early", "x=100:y=0:w=50:h=60:color=0x606060", 4,
            "The frame-counter marker of bit 1 at (112, 16) was lost from 3.9"},
    };
    for (const auto& c : cases) {
        std::vector<DesignFlash> before;
        for (const DesignFlash& flash : design_flashes(kLongSeconds))
            if (flash.frame < c.leaves_at_seconds * kFps)
                before.push_back(flash);
        const std::string name = std::string(c.name) + ".mkv";
        ASSERT_TRUE(ffmpeg({"-i", dir_->file("long.mkv"), "-vf", std::string("drawbox=") + c.cover + ":t=fill:enable='gte(t," +
            std::to_string(c.leaves_at_seconds) + ")'", "-c:v", "libx264", "-crf", "18", "-preset", "veryfast", "-c:a", "copy",
            dir_->file(name)}));
        ProcessResult run;
        const json result = checked(name, {}, &run);
        const json& warnings = result["warnings"];
        const auto named = std::find_if(warnings.begin(), warnings.end(), [&](const json& w) {
            return w.get<std::string>().rfind(c.warning, 0) == 0;
        });
        ASSERT_NE(named, warnings.end()) << c.name << " " << warnings.dump();
        EXPECT_NE(named->get<std::string>().find(" to the end while the other markers went on (it left the picture, "
            "was covered or moved): "), std::string::npos) << *named;
        EXPECT_NE(run.out.find("Warning: " + named->get<std::string>()), std::string::npos) << run.out;
        const json& events = result["sync"]["events"];
        ASSERT_EQ(events.size(), before.size()) << c.name;
        for (size_t e = 0; e < before.size(); ++e)
            EXPECT_NEAR(events[e]["delay_ms"].get<double>(), before[e].beep_ms - before[e].frame * 1000.0 / kFps, 1.0)
                << c.name;
    }
}

} // namespace
