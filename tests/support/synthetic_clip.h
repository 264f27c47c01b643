// A small test clip drawn frame by frame: grey background, marker boxes that follow the
// header/locator/content/trailer pattern, and two-tone beeps at the black flashes of the
// colour-cycling marker. Encoded by ffmpeg with the codecs the caller chooses.
#pragma once

#include <string>
#include <vector>

struct SyntheticClip {
    int width = 160, height = 120;
    int fps_num = 25, fps_den = 1;
    int header = 2, locator = 3, content = 36, trailer = 2; ///< frames per span
    int audio_rate = 48000;
    int audio_delay_ms = 0; ///< beeps start this long after their flash (negative: before)
    int beep_ms = 100;
    bool with_audio = true;

    // Marker columns, left to right: SYNCMARK (half-period 2), FRAMEID (half-period 1),
    // FRAMEID (half-period 2), RGB6 (black every 6th content frame from offset 2).
    static constexpr int kMarkers = 4;

    int total_frames() const { return header + locator + content + trailer; }
    // The letters the analyser should read in frame `n`.
    std::string code(int n) const;
    bool is_flash(int n) const;
    // Nanoseconds from the start to frame n.
    long long frame_time_ns(int n) const;
    // First sample of each beep.
    std::vector<long long> beep_starts() const;

    // Draws the clip and encodes it to `path` with ffmpeg, `codec_args` before the path.
    // False, with a test failure recorded, if ffmpeg fails.
    bool write(const std::string& path, const std::vector<std::string>& codec_args) const;
};
