#include "synthetic_clip.h"

#include "media.h"

#include <cmath>
#include <cstdint>
#include <fstream>

namespace {

constexpr int kBox = 32;     // marker size in pixels
constexpr int kSpacing = 36; // from one marker's left edge to the next
constexpr uint8_t kGrey = 128;

struct Rgb {
    uint8_t r, g, b;
};

Rgb color_of(char letter)
{
    switch (letter) {
    case 'w': return {255, 255, 255};
    case 'r': return {255, 0, 0};
    case 'y': return {255, 255, 0};
    case 'g': return {0, 255, 0};
    case 'c': return {0, 255, 255};
    case 'b': return {0, 0, 255};
    case 'm': return {255, 0, 255};
    default: return {0, 0, 0};
    }
}

char square_wave(int offset, int half_period)
{
    return (offset / half_period) % 2 == 0 ? 'k' : 'w';
}

} // namespace

std::string SyntheticClip::code(int n) const
{
    if (n < header || n >= header + locator + content)
        return std::string(kMarkers, 'w');
    if (n < header + locator)
        return "wkkw";
    const int offset = n - header - locator;
    const char cycle = "rygcbm"[offset % 6];
    return {square_wave(offset, 2), square_wave(offset, 1), square_wave(offset, 2), is_flash(n) ? 'k' : cycle};
}

bool SyntheticClip::is_flash(int n) const
{
    const int offset = n - header - locator;
    return offset >= 0 && offset < content && offset % 6 == 2;
}

long long SyntheticClip::frame_time_ns(int n) const
{
    return static_cast<long long>(n) * 1000000000LL * fps_den / fps_num;
}

std::vector<long long> SyntheticClip::beep_starts() const
{
    std::vector<long long> starts;
    for (int n = 0; n < total_frames(); n++) {
        if (!is_flash(n))
            continue;
        const long long ns = frame_time_ns(n) + audio_delay_ms * 1000000LL;
        starts.push_back(static_cast<long long>(std::llround(double(ns) * audio_rate / 1e9)));
    }
    return starts;
}

bool SyntheticClip::write(const std::string& path, const std::vector<std::string>& codec_args) const
{
    const std::string video_path = path + ".rgb";
    const std::string audio_path = path + ".pcm";
    {
        std::ofstream video(video_path, std::ios::binary);
        std::vector<uint8_t> frame(size_t(width) * height * 3);
        for (int n = 0; n < total_frames(); n++) {
            std::fill(frame.begin(), frame.end(), kGrey);
            const std::string letters = code(n);
            for (int m = 0; m < kMarkers; m++) {
                const Rgb rgb = color_of(letters[m]);
                for (int y = 16; y < 16 + kBox; y++)
                    for (int x = 16 + m * kSpacing; x < 16 + m * kSpacing + kBox; x++) {
                        uint8_t* p = &frame[(size_t(y) * width + x) * 3];
                        p[0] = rgb.r, p[1] = rgb.g, p[2] = rgb.b;
                    }
            }
            video.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
        }
    }
    std::vector<std::string> args = {"-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                                     std::to_string(width) + "x" + std::to_string(height), "-framerate",
                                     std::to_string(fps_num) + "/" + std::to_string(fps_den), "-i", video_path};
    if (with_audio) {
        const long long samples = static_cast<long long>(frame_time_ns(total_frames()) * audio_rate / 1000000000LL);
        std::vector<int16_t> pcm(size_t(samples), 0);
        const long long beep_samples = static_cast<long long>(beep_ms) * audio_rate / 1000;
        for (long long start : beep_starts())
            for (long long i = 0; i < beep_samples; i++) {
                const long long s = start + i;
                if (s < 0 || s >= samples)
                    continue;
                const double t = double(i) / audio_rate;
                pcm[size_t(s)] = int16_t(std::lround(8000 * std::sin(2 * M_PI * 547 * t) + 8000 * std::sin(2 * M_PI * 1823 * t)));
            }
        std::ofstream(audio_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
        args.insert(args.end(), {"-f", "s16le", "-ar", std::to_string(audio_rate), "-ac", "1", "-i", audio_path});
    }
    args.insert(args.end(), codec_args.begin(), codec_args.end());
    args.push_back(path);
    const bool ok = ffmpeg(args);
    std::remove(video_path.c_str());
    std::remove(audio_path.c_str());
    return ok;
}
