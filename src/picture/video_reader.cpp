#include "picture/video_reader.h"

#include "picture/level_model.h"
#include "rules/time_units.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace skelv {

namespace {

// Share of the look-ahead's clear content frames whose markers must agree on one counter
// state: other pictures that happen to blink and change colour do not.
constexpr double kMinAgreeingShare = 0.9;
constexpr int64_t kMinAgreeing = 12;
// Intervals between captured frames longer than this multiple of the median are gaps.
constexpr float kMaxRegularGap = 1.5f;
// The source rate is measured again on the numbered frames over spans of this length.
constexpr int64_t kRateSpanNs = 1'000'000'000;
// A frame whose mix of two source frames gives either this little a share is read as showing
// one of them whole: coding noise moves a mix by about a hundredth.
constexpr float kEdgeShare = 0.05f;

// Median of the rates (source frames per second) between numbered frames about a second
// apart: a freeze or a drop moves only the few spans that hold it.
double median_rate(const std::vector<FrameReading>& numbered)
{
    std::vector<float> rates;
    size_t later = 0;
    for (size_t i = 0; i < numbered.size(); ++i) {
        later = std::max(later, i + 1);
        while (later < numbered.size() && numbered[later].loop == numbered[i].loop &&
               numbered[later].time_ns - numbered[i].time_ns < kRateSpanNs)
            ++later;
        if (later == numbered.size() || numbered[later].loop != numbered[i].loop)
            continue;
        rates.push_back(float(numbered[later].source - numbered[i].source) * float(kNsPerSecond) /
            float(numbered[later].time_ns - numbered[i].time_ns));
    }
    return rates.empty() ? 0 : quantile_of(rates, 0.5f);
}

// Whether the markers of the look-ahead count frames as a test clip's do; the source rate
// measured again on the frame numbers, which blending cannot bias.
bool check_counting(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times,
    const ReadingPlan& plan, double* source_fps, std::string* reason)
{
    const FrameCounter counter(plan);
    SourceNumbering trial(plan, plan.source_fps);
    std::vector<int8_t> shades(series.size());
    std::vector<int32_t> residues;
    int64_t clear = 0, agreeing = 0;
    std::vector<FrameReading> numbered;
    for (size_t t = 0; t < times.size(); ++t) {
        for (size_t m = 0; m < series.size(); ++m)
            shades[m] = read_shade(plan.markers[m], series[m][t]);
        if (counter.pattern(shades) == FramePattern::Content) {
            ++clear;
            counter.residues(shades, &residues);
            agreeing += !residues.empty();
        }
        const FrameReading reading = trial.next(times[t], shades);
        if (reading.kind == FrameKind::Content && !reading.flash && reading.source >= 0)
            numbered.push_back(reading);
    }
    if (agreeing < kMinAgreeing || double(agreeing) < kMinAgreeingShare * double(clear)) {
        *reason = kMarkersDisagree;
        return false;
    }
    const double rate = median_rate(numbered);
    *source_fps = rate > 0 ? snap_frame_rate(rate) : plan.source_fps;
    return true;
}

// Frames per second of capture, from the mean interval between frame times, gaps left out;
// 0 when unknown. The mean, as containers round times (Matroska to the millisecond: 60 fps
// comes as 16 and 17 ms).
double capture_rate(const std::vector<int64_t>& times)
{
    std::vector<float> gaps;
    for (size_t t = 1; t < times.size(); ++t)
        gaps.push_back(float(times[t] - times[t - 1]));
    const float median = quantile_of(gaps, 0.5f);
    double sum = 0;
    size_t regular = 0;
    for (float gap : gaps)
        if (gap > 0 && gap <= kMaxRegularGap * median)
            sum += gap, ++regular;
    return regular > 0 ? snap_frame_rate(double(kNsPerSecond) * double(regular) / sum) : 0;
}

// Each marker's time between changes, by its half-period in source frames (the lip-sync
// marker's 0: it changes every frame).
std::vector<int64_t> half_periods_ns(const ReadingPlan& plan, double source_fps)
{
    std::vector<int64_t> periods;
    for (const MarkerPlan& marker : plan.markers)
        periods.push_back(source_fps > 0 ? ns_of_seconds(marker.half_period / source_fps) : 0);
    return periods;
}

} // namespace

int32_t lipsync_centre_row(const std::vector<FoundMarker>& markers)
{
    for (const FoundMarker& marker : markers)
        if (marker.role == MarkerRole::LipSync)
            return marker.top + marker.height / 2;
    return -1;
}

struct VideoReader::Plan {
    std::vector<MarkerArea> areas;
    std::vector<PixelRect> ignored; ///< areas that change besides the markers
    ReadingPlan reading;
    double source_fps = 0;
    std::optional<BlendReader> blends;
    std::optional<SourceNumbering> numbering;
    ContinuityTracker continuity;
    MarkerWatch watch;
};

VideoReader::VideoReader(VideoReaderOptions options) : options_(std::move(options)) {}

VideoReader::~VideoReader() = default;

PushResult VideoReader::push(const YuvFrameView& frame, int64_t time_ns, bool after_loss)
{
    if (phase_ == Phase::Done)
        return PushResult::Continue;
    if (!sized_) {
        grid_ = cell_grid_for(frame.width, frame.height);
        result_.width = frame.width;
        result_.height = frame.height;
        sized_ = true;
    }
    result_.frames_read++;
    const bool same_size = frame.width == result_.width && frame.height == result_.height;
    if (!same_size)
        result_.frames_other_size++;
    if (phase_ == Phase::Reading) {
        if (same_size) {
            for (size_t m = 0; m < plan_->areas.size(); ++m)
                values_[m] = cell_rect_mean(grid_, frame, plan_->areas[m].read);
            measure_rows(frame);
        }
        deliver(time_ns, same_size ? values_ : std::vector<Yuv>{}, after_loss);
        return PushResult::Continue;
    }
    // A frame of another size keeps its place in the look-ahead, with no cells: read as unknown.
    lookahead_.push_back({time_ns, {}, after_loss});
    if (same_size && grid_.count() > 0) {
        lookahead_.back().cells.resize(grid_.frame_bytes());
        cell_grid_reduce(grid_, frame, lookahead_.back().cells.data());
        lookahead_bytes_ += grid_.frame_bytes();
    }
    const double seconds = seconds_of(lookahead_.back().time_ns - lookahead_.front().time_ns);
    if (seconds >= options_.lookahead_seconds || lookahead_bytes_ >= options_.lookahead_bytes)
        return search(false);
    return PushResult::Continue;
}

PushResult VideoReader::finish()
{
    if (phase_ == Phase::Searching) {
        if (lookahead_.empty()) {
            fail(result_.frames_read == 0 ? "the recording has no video frames" : "no video frame could be read");
            return PushResult::Continue;
        }
        const PushResult next = search(true);
        if (next == PushResult::Restart || phase_ != Phase::Reading)
            return next;
    }
    if (phase_ == Phase::Reading) {
        result_.continuity = plan_->continuity.finish();
        result_.lost_markers = plan_->watch.losses();
        result_.content_start_seen = plan_->numbering->content_start_seen();
        result_.ok = true;
    }
    phase_ = Phase::Done;
    return PushResult::Continue;
}

VideoReading VideoReader::result_so_far() const
{
    VideoReading reading = result_;
    if (phase_ == Phase::Reading) {
        reading.continuity = plan_->continuity.so_far();
        reading.lost_markers = plan_->watch.losses();
        reading.content_start_seen = plan_->numbering->content_start_seen();
        reading.ok = true;
    }
    return reading;
}

const std::vector<ShownFlash>& VideoReader::flashes() const
{
    return phase_ == Phase::Reading ? plan_->continuity.flashes() : result_.continuity.flashes;
}

void VideoReader::fail(const std::string& reason)
{
    result_.ok = false;
    result_.error = reason;
    result_.markers.clear();
    lookahead_.clear();
    phase_ = Phase::Done;
}

PushResult VideoReader::search(bool final_attempt)
{
    const LookaheadCells lookahead = lookahead_cells();
    std::string reason;
    std::unique_ptr<Plan> plan = plan_from(lookahead, &reason);
    if (!plan) {
        if (final_attempt)
            fail("not a test clip: " + reason);
        else
            keep_later_half();
        return PushResult::Continue;
    }
    adopt(std::move(plan), lookahead.times);
    return start_reading();
}

VideoReader::LookaheadCells VideoReader::lookahead_cells() const
{
    LookaheadCells lookahead;
    for (const Buffered& frame : lookahead_)
        if (!frame.cells.empty()) {
            lookahead.cells.push_back(frame.cells.data());
            lookahead.times.push_back(frame.time_ns);
        }
    return lookahead;
}

std::unique_ptr<VideoReader::Plan> VideoReader::plan_from(const LookaheadCells& lookahead, std::string* reason) const
{
    std::unique_ptr<Plan> plan = plan_over(lookahead, reason);
    // A marker covered or gone early in the look-ahead may show as no marker over all of it:
    // its first half, while it still showed, is searched again.
    const size_t half = lookahead.cells.size() / 2;
    if (!plan && half > 1 && lookahead.times[half - 1] - lookahead.times.front() >= kShortestLearningNs) {
        std::string earlier_reason;
        if (std::unique_ptr<Plan> earlier = plan_from(lookahead.first(half), &earlier_reason))
            return earlier;
    }
    return plan;
}

std::unique_ptr<VideoReader::Plan> VideoReader::plan_over(const LookaheadCells& lookahead, std::string* reason) const
{
    auto plan = std::make_unique<Plan>();
    MarkerSearch search = find_marker_areas(grid_, lookahead.cells);
    if (search.markers.empty()) {
        *reason = "no area of the picture blinks or changes colour";
        return nullptr;
    }
    plan->areas = std::move(search.markers);
    std::vector<std::vector<Yuv>> series(plan->areas.size());
    for (size_t m = 0; m < plan->areas.size(); ++m)
        for (const uint8_t* frame : lookahead.cells)
            series[m].push_back(cell_rect_mean(grid_, frame, plan->areas[m].read));
    const size_t learn_from = frames_before_an_area_stops(series, lookahead.times);
    if (learn_from < lookahead.cells.size())
        return plan_over(lookahead.first(learn_from), reason);
    if (!plan_markers(series, lookahead.times, &plan->reading, reason))
        return nullptr;
    plan->ignored = std::move(search.changing_areas);
    set_aside_areas_without_role(plan.get(), &series);
    if (!check_counting(series, lookahead.times, plan->reading, &plan->source_fps, reason))
        return nullptr;
    plan->ignored = merge_changing_areas(std::move(plan->ignored), kChangingAreaReach * grid_.cell, kMostChangingAreas);
    return plan;
}

// Areas that behave as no marker does are pictures changing beside the markers: they join the
// ignored areas and are not read.
void VideoReader::set_aside_areas_without_role(Plan* plan, std::vector<std::vector<Yuv>>* series)
{
    const std::vector<size_t> dropped = drop_unknown_areas(&plan->reading);
    for (auto m = dropped.rbegin(); m != dropped.rend(); ++m) {
        const MarkerArea& area = plan->areas[*m];
        plan->ignored.push_back({area.left, area.top, area.width, area.height});
        plan->areas.erase(plan->areas.begin() + long(*m));
        series->erase(series->begin() + long(*m));
    }
}

// Keeps the later half, to search again when the look-ahead is full once more.
void VideoReader::keep_later_half()
{
    lookahead_trimmed_ = true;
    while (lookahead_.size() > 1 &&
           (seconds_of(lookahead_.back().time_ns - lookahead_.front().time_ns) > options_.lookahead_seconds / 2 ||
               lookahead_bytes_ > options_.lookahead_bytes / 2)) {
        lookahead_bytes_ -= lookahead_.front().cells.size();
        lookahead_.pop_front();
    }
}

void VideoReader::adopt(std::unique_ptr<Plan> plan, const std::vector<int64_t>& times)
{
    plan_ = std::move(plan);
    plan_->blends.emplace(plan_->reading);
    values_.assign(plan_->areas.size(), Yuv{});
    result_.markers.clear();
    for (size_t m = 0; m < plan_->areas.size(); ++m) {
        const MarkerArea& area = plan_->areas[m];
        const MarkerPlan& role = plan_->reading.markers[m];
        result_.markers.push_back({area.left, area.top, area.width, area.height, role.role, role.bit, role.half_period});
    }
    result_.ignored_areas = plan_->ignored;
    result_.sync_from = plan_->reading.sync_from;
    result_.source_fps = plan_->source_fps;
    result_.capture_fps = capture_rate(times);
}

// Reads the look-ahead's frames, or asks for a second decode when some have left it.
PushResult VideoReader::start_reading()
{
    phase_ = Phase::Reading;
    restart_reading();
    if (lookahead_trimmed_) {
        lookahead_.clear();
        lookahead_bytes_ = 0;
        result_.decodes = 2;
        result_.frames_read = 0;
        result_.frames_other_size = 0;
        return PushResult::Restart;
    }
    read_buffered();
    return PushResult::Continue;
}

void VideoReader::restart_reading()
{
    plan_->numbering.emplace(plan_->reading, plan_->source_fps);
    plan_->continuity = ContinuityTracker{};
    plan_->watch = MarkerWatch(half_periods_ns(plan_->reading, plan_->source_fps));
    result_.frames.clear();
    result_.shutter_edges.clear();
    result_.frame_times.clear();
}

void VideoReader::read_buffered()
{
    for (const Buffered& frame : lookahead_) {
        for (size_t m = 0; m < plan_->areas.size() && !frame.cells.empty(); ++m)
            values_[m] = cell_rect_mean(grid_, frame.cells.data(), plan_->areas[m].read);
        if (!frame.cells.empty())
            measure_rows(frame.cells.data());
        deliver(frame.time_ns, frame.cells.empty() ? std::vector<Yuv>{} : values_, frame.after_loss);
    }
    lookahead_.clear();
    lookahead_bytes_ = 0;
}

void VideoReader::deliver(int64_t time_ns, const std::vector<Yuv>& values, bool after_loss)
{
    shaded_.time_ns = time_ns;
    shaded_.after_loss = after_loss;
    shaded_.measured = !values.empty();
    shaded_.shades.resize(values.size());
    for (size_t m = 0; m < values.size(); ++m)
        shaded_.shades[m] = read_shade(plan_->reading.markers[m], values[m]);
    shaded_.blends.clear();
    number(&shaded_, &values);
    if (options_.on_shades)
        options_.on_shades(shaded_);
}

// Numbers a frame from its shades; `values`, when known, give the blends its shades may ask for.
void VideoReader::number(FrameShades* frame, const std::vector<Yuv>* values)
{
    FrameReading reading;
    if (!frame->measured) {
        reading = plan_->numbering->unknown(frame->time_ns);
    } else {
        plan_->watch.add(frame->time_ns, frame->shades);
        reading = plan_->numbering->next(frame->time_ns, frame->shades);
        // Only frames the levels leave unclear are tried as blends: the others stay cheap.
        if (reading.kind == FrameKind::Unreadable) {
            if (values != nullptr)
                plan_->blends->read(*values, &frame->blends);
            reading = plan_->numbering->next_blend(frame->time_ns, frame->blends);
        }
    }
    if (options_.find_shutter_edges) {
        result_.frame_times.push_back(frame->time_ns);
        if (values != nullptr && reading.kind == FrameKind::Content && reading.source >= 0)
            find_shutter_edge(reading, *values);
    }
    if (frame->after_loss)
        plan_->continuity.unseen();
    plan_->continuity.add(reading);
    if (options_.on_frame)
        options_.on_frame(reading);
    if (options_.keep_frames)
        result_.frames.push_back(reading);
}

// Each marker's levels row of cells by row, when shutter edges are looked for: `frame` a
// decoded frame or a reduced one.
template <typename Frame> void VideoReader::measure_rows(const Frame& frame)
{
    if (!options_.find_shutter_edges)
        return;
    row_values_.resize(plan_->areas.size());
    for (size_t m = 0; m < plan_->areas.size(); ++m) {
        const CellRect& read = plan_->areas[m].read;
        row_values_[m].clear();
        for (int32_t y = read.y0; y < read.y1; ++y)
            row_values_[m].push_back(cell_rect_mean(grid_, frame, CellRect{read.x0, y, read.x1, y + 1}));
    }
}

// A content frame that mixes its source frame with the one before or after, read as a rolling
// shutter sees it: the rows of the lip-sync marker's band above the edge show the earlier frame,
// below it the later, and the row where each has half tells the edge's row.
void VideoReader::find_shutter_edge(const FrameReading& reading, const std::vector<Yuv>& values)
{
    const int32_t lipsync = plan_->reading.lipsync;
    if (lipsync < 0)
        return;
    const auto mid_change = [](const BlendMix& mix) { return mix.weight > kEdgeShare && mix.weight < 1 - kEdgeShare; };
    const int32_t residue = plan_->numbering->last_residue();
    BlendMix before, after;
    const bool from_before = plan_->blends->mix_of(values, residue - 1, &before) && mid_change(before);
    const bool to_after = plan_->blends->mix_of(values, residue, &after) && mid_change(after);
    if (from_before == to_after) // a whole frame, or one that cannot tell its neighbour
        return;
    const BlendMix& mix = from_before ? before : after;
    const CellRect& band = plan_->areas[size_t(lipsync)].read;
    std::vector<float> shares;
    std::vector<Yuv> row(values.size());
    std::vector<bool> present(values.size());
    for (int32_t y = band.y0; y < band.y1; ++y) {
        for (size_t m = 0; m < values.size(); ++m) {
            const CellRect& read = plan_->areas[m].read;
            present[m] = y >= read.y0 && y < read.y1;
            if (present[m])
                row[m] = row_values_[m][size_t(y - read.y0)];
        }
        shares.push_back(plan_->blends->share_of(row, present, mix));
        if (shares.back() < 0)
            return;
    }
    if (const std::optional<double> edge = half_share_row(shares))
        result_.shutter_edges.push_back(
            {reading.time_ns, reading.loop, reading.source + (from_before ? 0 : 1), (band.y0 + *edge) * grid_.cell});
}

std::optional<MarkerPlanning> VideoReader::planning() const
{
    if (!found())
        return std::nullopt;
    return MarkerPlanning{result_.width, result_.height, result_.markers, result_.ignored_areas,
                          result_.capture_fps, result_.source_fps, plan_->reading};
}

void VideoReader::read_anew()
{
    lookahead_.clear();
    lookahead_bytes_ = 0;
    result_.frames_read = 0;
    result_.frames_other_size = 0;
    phase_ = Phase::Reading;
    restart_reading();
}

void VideoReader::follow(const MarkerPlanning& planning)
{
    plan_ = std::make_unique<Plan>();
    plan_->reading = planning.reading;
    plan_->source_fps = planning.source_fps;
    result_.width = planning.width;
    result_.height = planning.height;
    result_.markers = planning.markers;
    result_.ignored_areas = planning.ignored_areas;
    result_.sync_from = planning.reading.sync_from;
    result_.source_fps = planning.source_fps;
    result_.capture_fps = planning.capture_fps;
    sized_ = true;
    read_anew();
}

void VideoReader::take_shades(const FrameShades& frame)
{
    result_.frames_read++;
    result_.frames_other_size += !frame.measured;
    if (phase_ != Phase::Reading)
        return;
    shaded_ = frame;
    number(&shaded_, nullptr);
}

} // namespace skelv
