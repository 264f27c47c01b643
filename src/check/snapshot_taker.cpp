#include "check/snapshot_taker.h"

#include <algorithm>
#include <cstring>

namespace skelv {

namespace {

constexpr int64_t kSpacing_ns = 2000000000; // between kept copies
constexpr size_t kMaxWaiting = 6;           // copies waiting for their reading: past the look-ahead

uint8_t clamp_byte(float value)
{
    return uint8_t(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

} // namespace

void SnapshotTaker::copy_plane(const uint8_t* from, int32_t stride, int32_t step, int32_t width, int32_t height,
                               std::vector<uint8_t>* to)
{
    to->resize(size_t(width) * size_t(height));
    uint8_t* out = to->data();
    for (int32_t row = 0; row < height; ++row, out += width) {
        const uint8_t* line = from + ptrdiff_t(row) * stride;
        if (step == 1)
            std::memcpy(out, line, size_t(width));
        else
            for (int32_t column = 0; column < width; ++column)
                out[column] = line[ptrdiff_t(column) * step];
    }
}

void SnapshotTaker::offer(const YuvFrameView& frame, int64_t time_ns)
{
    if (chosen_ || waiting_.size() >= kMaxWaiting ||
        (!waiting_.empty() && time_ns - waiting_.back().time_ns < kSpacing_ns))
        return;
    Copy copy;
    if (!spare_.empty()) {
        copy = std::move(spare_.back());
        spare_.pop_back();
    }
    copy.time_ns = time_ns;
    copy.width = frame.width;
    copy.height = frame.height;
    copy.shift_x = frame.shift_x;
    copy.shift_y = frame.shift_y;
    const int32_t chroma_width = (frame.width + (1 << frame.shift_x) - 1) >> frame.shift_x;
    const int32_t chroma_height = (frame.height + (1 << frame.shift_y) - 1) >> frame.shift_y;
    copy_plane(frame.y, frame.y_stride, 1, frame.width, frame.height, &copy.y);
    copy_plane(frame.u, frame.uv_stride, frame.uv_step, chroma_width, chroma_height, &copy.u);
    copy_plane(frame.v, frame.uv_stride, frame.uv_step, chroma_width, chroma_height, &copy.v);
    waiting_.push_back(std::move(copy));
}

void SnapshotTaker::on_reading(const FrameReading& reading)
{
    while (!chosen_ && !waiting_.empty() && waiting_.front().time_ns <= reading.time_ns) {
        const bool plain_content = waiting_.front().time_ns == reading.time_ns &&
                                   reading.kind == FrameKind::Content && reading.source >= 0 && !reading.flash;
        if (plain_content)
            chosen_ = std::move(waiting_.front());
        else
            spare_.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
    }
    if (chosen_) {
        waiting_.clear();
        spare_.clear();
    }
}

// Limited-range Y'CbCr to R'G'B', with the matrix usual for the frame's size (BT.709 from
// 720 lines, BT.601 below): a picture for the eye, not a measurement.
CheckSnapshot SnapshotTaker::take() const
{
    CheckSnapshot snapshot;
    if (!chosen_)
        return snapshot;
    const Copy& c = *chosen_;
    const bool hd = c.height >= 720;
    const float kr = hd ? 0.2126f : 0.299f, kb = hd ? 0.0722f : 0.114f, kg = 1 - kr - kb;
    const int32_t chroma_width = (c.width + (1 << c.shift_x) - 1) >> c.shift_x;
    snapshot.width = c.width;
    snapshot.height = c.height;
    snapshot.time_ns = c.time_ns;
    snapshot.rgb.resize(size_t(c.width) * size_t(c.height) * 3);
    uint8_t* out = snapshot.rgb.data();
    for (int32_t row = 0; row < c.height; ++row)
        for (int32_t column = 0; column < c.width; ++column) {
            const size_t chroma = size_t(row >> c.shift_y) * size_t(chroma_width) + size_t(column >> c.shift_x);
            const float y = (float(c.y[size_t(row) * size_t(c.width) + size_t(column)]) - 16) * (255.0f / 219);
            const float pb = (float(c.u[chroma]) - 128) * (255.0f / 224);
            const float pr = (float(c.v[chroma]) - 128) * (255.0f / 224);
            const float r = y + 2 * (1 - kr) * pr;
            const float b = y + 2 * (1 - kb) * pb;
            const float g = (y - kr * r - kb * b) / kg;
            *out++ = clamp_byte(r);
            *out++ = clamp_byte(g);
            *out++ = clamp_byte(b);
        }
    return snapshot;
}

} // namespace skelv
