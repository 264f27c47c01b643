// The robust reading of a recording's picture, frame by frame as it is decoded: a bounded
// look-ahead of reduced frames in which the markers are found from their behaviour, then every
// frame's kind, source frame number, loop and flash, and the continuity of the whole.
//
//   VideoReader reader;
//   for each decoded frame: if (reader.push(view, time_ns) == PushResult::Restart) decode again;
//   if (reader.finish() == PushResult::Restart) decode again, push every frame, finish;
//   reader.result()
//
// A second decode is asked for only when the markers could be found only after frames had
// left the look-ahead; the second pass then reads every frame with the markers known.
#pragma once

#include "picture/cell_grid.h"
#include "picture/continuity.h"
#include "picture/line_time.h"
#include "picture/marker_roles.h"
#include "picture/marker_search.h"
#include "picture/marker_watch.h"
#include "picture/source_numbering.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

// What one frame's markers showed, before the frame is numbered: all that numbering it needs,
// so that the frames of a recording read in parts can be numbered as one sequence later.
struct FrameShades {
    int64_t time_ns = 0;
    bool after_loss = false;
    bool measured = false;        ///< false for a frame of another size, of which nothing was read
    std::vector<int8_t> shades;   ///< by marker, in the markers' order
    std::vector<BlendMix> blends; ///< the mixes that explain it, when its shades leave it unreadable
};

struct VideoReaderOptions {
    double lookahead_seconds = 10;                ///< captured time searched for markers at once
    size_t lookahead_bytes = size_t{48} << 20;    ///< cap on the reduced frames held meanwhile
    bool keep_frames = true;                      ///< keep every FrameReading in the result
    std::function<void(const FrameReading&)> on_frame; ///< optional: each reading, in capture order
    std::function<void(const FrameShades&)> on_shades; ///< optional: each frame's shades, in capture order
    // Keep the frames that caught the screen changing inside the markers, for a rolling
    // shutter's line time; frames numbered from another reading's shades have none.
    bool find_shutter_edges = false;
};

struct FoundMarker {
    int32_t left = 0, top = 0, width = 0, height = 0; ///< captured pixels
    MarkerRole role = MarkerRole::Unknown;
    int32_t bit = -1;        ///< FrameId: 0 for half-period 1
    int32_t half_period = 0; ///< Sync and FrameId, source frames
};

struct VideoReading {
    bool ok = false;
    std::string error; ///< why the picture could not be read, when not ok
    int32_t width = 0, height = 0;
    std::vector<FoundMarker> markers; ///< raster order
    std::vector<PixelRect> ignored_areas; ///< what changes besides the markers and was not read, a few rectangles
    SyncEvidence sync_from = SyncEvidence::None;
    double capture_fps = 0; ///< from the frame times
    double source_fps = 0;  ///< source frames shown per second of capture
    bool content_start_seen = false;
    ContinuityReport continuity;
    std::vector<MarkerLoss> lost_markers; ///< markers that stood still while the others went on
    std::vector<FrameReading> frames; ///< when kept
    std::vector<ShutterEdge> shutter_edges; ///< when asked for, in capture order
    std::vector<int64_t> frame_times;       ///< with them: every frame's time, in capture order
    int64_t frames_read = 0;          ///< captured frames, in the last decode
    int64_t frames_other_size = 0;    ///< frames whose size differed from the first, read as unknown
    int32_t decodes = 1;
};

// What the search learnt of a recording's markers: enough to number frames from their shades.
struct MarkerPlanning {
    int32_t width = 0, height = 0;
    std::vector<FoundMarker> markers;
    std::vector<PixelRect> ignored_areas;
    double capture_fps = 0;
    double source_fps = 0; ///< as measured on the numbered frames
    ReadingPlan reading;
};

// The captured row at the middle of the lip-sync marker, -1 when there is none: a rolling
// shutter exposes that row this many line times after the frame's time.
int32_t lipsync_centre_row(const std::vector<FoundMarker>& markers);

enum class PushResult { Continue, Restart };

class VideoReader {
public:
    explicit VideoReader(VideoReaderOptions options = {});
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // `time_ns`: the frame's running time; `after_loss`: frames the source dropped before the
    // reader got them came just before it. Restart: stop this decode and push the file again.
    PushResult push(const YuvFrameView& frame, int64_t time_ns, bool after_loss = false);
    // End of a decode. Restart: decode again and push every frame.
    PushResult finish();
    const VideoReading& result() const { return result_; }
    // While reading: the result as finish() would give it now, the reading going on unchanged.
    VideoReading result_so_far() const;
    // The flashes read so far, in capture order.
    const std::vector<ShownFlash>& flashes() const;

    // The markers once found; none while searching or after failing.
    std::optional<MarkerPlanning> planning() const;
    bool found() const { return plan_ && phase_ != Phase::Searching && result_.error.empty(); }
    // Reading again from elsewhere in the recording with the markers already found: what was
    // read is forgotten, the next frame pushed is read at once. Only once they are found.
    void read_anew();
    // Numbering frames whose shades another reading measured: `planning` as that reading
    // found it, then take_shades() for each frame in capture order.
    void follow(const MarkerPlanning& planning);
    void take_shades(const FrameShades& frame);
    // The picture cannot be read, as another reading found: `reason` is the result's error.
    void give_up(const std::string& reason) { fail(reason); }

private:
    struct Buffered {
        int64_t time_ns;
        std::vector<uint8_t> cells;
        bool after_loss;
    };
    struct Plan;
    struct LookaheadCells {
        std::vector<const uint8_t*> cells; ///< the look-ahead's reduced frames, frames of another size left out
        std::vector<int64_t> times;        ///< their times

        LookaheadCells first(size_t count) const
        {
            return {{cells.begin(), cells.begin() + long(count)}, {times.begin(), times.begin() + long(count)}};
        }
    };

    PushResult search(bool final_attempt);
    LookaheadCells lookahead_cells() const;
    std::unique_ptr<Plan> plan_from(const LookaheadCells& lookahead, std::string* reason) const;
    std::unique_ptr<Plan> plan_over(const LookaheadCells& lookahead, std::string* reason) const;
    static void set_aside_areas_without_role(Plan* plan, std::vector<std::vector<Yuv>>* series);
    void keep_later_half();
    void adopt(std::unique_ptr<Plan> plan, const std::vector<int64_t>& times);
    PushResult start_reading();
    void restart_reading();
    void read_buffered();
    void deliver(int64_t time_ns, const std::vector<Yuv>& values, bool after_loss);
    void number(FrameShades* frame, const std::vector<Yuv>* values);
    void find_shutter_edge(const FrameReading& reading, const std::vector<Yuv>& values);
    template <typename Frame> void measure_rows(const Frame& frame);
    void fail(const std::string& reason);

    VideoReaderOptions options_;
    VideoReading result_;
    CellGrid grid_;
    bool sized_ = false;
    enum class Phase { Searching, Reading, Done } phase_ = Phase::Searching;

    std::deque<Buffered> lookahead_;
    size_t lookahead_bytes_ = 0;
    bool lookahead_trimmed_ = false; ///< frames left the look-ahead before the markers were found

    std::unique_ptr<Plan> plan_;
    std::vector<Yuv> values_;
    std::vector<std::vector<Yuv>> row_values_; ///< when edges are looked for: by marker, by row of cells it is read in
    FrameShades shaded_;
};

} // namespace skelv
