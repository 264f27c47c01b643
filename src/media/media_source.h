// The one media source of skelv-check: a file, a URI or a GStreamer launch description,
// decoded by GStreamer and handed out as plain frames and samples, with the list of streams
// it carries. Nothing of GStreamer shows through this header, so the rooms above it (check,
// report, batch) never include GStreamer.
//
//   std::unique_ptr<MediaSource> source = MediaSource::open(source_request_of(argument), {}, &error);
//   for (MediaItem item; (item = source->next(&frame, &sound, &error)) != MediaItem::End;)
//       if (item == MediaItem::Frame) ... else if (item == MediaItem::Sound) ... else if (item == MediaItem::Failed) ...
#pragma once

#include "picture/yuv_frame.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skelv {

enum class SourceKind : uint8_t {
    File,     ///< a path (any file type: regular, FIFO, device)
    Uri,      ///< scheme://…: file, http(s) (also HLS and DASH manifests), rtsp, srt, udp
    Pipeline, ///< a GStreamer launch description, e.g. "v4l2src ! videoconvert"; its unlinked source pads are read
};

// What to read: its kind and where it is.
struct SourceRequest {
    SourceRequest() = default;
    SourceRequest(SourceKind kind_, std::string location_) : kind(kind_), location(std::move(location_)) {}

    SourceKind kind = SourceKind::File;
    std::string location; ///< the path, the URI or the launch description
    // Pipeline: a second launch description for the sound (a separate sound card), run in the
    // same pipeline on the same clock; empty when the first carries the sound.
    std::string sound_location;
    // Uri of udp://: the caps of what arrives (RTP needs them, e.g. "application/x-rtp,
    // media=video, clock-rate=90000, encoding-name=MP2T"); empty: typefound (MPEG-TS).
    std::string caps;
    // "HOST:PORT" of a GStreamer network time provider (skelv-generate --play --clock serves
    // one), followed beside the pipeline's own clock: arrivals can then be put on the time of
    // the sender on another machine (network_mapping). Empty: none.
    std::string network_clock;
};

// A path or a URI, told from the argument: "scheme://…" is a URI, anything else a path.
SourceRequest source_request_of(const std::string& argument);
// Whether the source reaches over a network (http(s), rtsp, srt, udp, rtp URIs).
bool is_network_source(const SourceRequest& request);

// A network clock's address: "net://HOST:PORT" as "HOST:PORT" (HOST a name, an IPv4 address or
// an IPv6 one in brackets; a server may leave it out: every IPv4 address), PORT 1 to 65535.
// False for any other form.
bool network_clock_address(const std::string& uri, bool host_needed, std::string* address);
// The same for another scheme, e.g. "udp://".
bool host_port_address(const std::string& uri, std::string_view scheme, bool host_needed, std::string* address);
// The host (without brackets; empty for every address) and port of such an address.
void split_clock_address(const std::string& address, std::string* host, int* port);

enum class StreamType : uint8_t { Video, Audio };

// One stream the source carries. Those known at the open come in their container's order
// (by stream id within one decoding bin), later ones after them.
struct MediaStream {
    int index = 0;         ///< 0, 1, ...: position among all streams
    StreamType type = StreamType::Video;
    std::string format;    ///< what it carries, from its caps without buffers: "video/x-h264, width=…"
    std::string decoder;   ///< element factory decoding it; empty when none could
    std::string language;  ///< from its tags; empty when untold
    bool read = false;     ///< its frames or samples are handed out
};

// A decoded video frame; the planes stay valid until the next call to next().
struct MediaFrame {
    YuvFrameView view;
    int64_t time_ns = 0;      ///< running time; a frame without a timestamp follows its predecessor by one period
    int64_t pts_ns = -1;      ///< the buffer's own timestamp, -1 when unset
    int64_t duration_ns = -1; ///< the buffer's own duration, -1 when unset
    int64_t index = 0;        ///< 0 for the first frame handed out
    int64_t lost_before = 0;  ///< frames of a live source dropped unread just before this one
};

// Decoded sound of one audio stream: interleaved 32-bit floats at the stream's own rate and
// channel count; valid until the next call to next().
struct MediaSound {
    int stream = 0;           ///< MediaStream::index of the audio stream
    const float* samples = nullptr;
    size_t frames = 0;        ///< samples per channel
    int rate = 0, channels = 0;
    int64_t time_ns = -1;     ///< running time of the first sample, -1 when unset
    int64_t pts_ns = -1;      ///< the buffer's own timestamp, -1 when unset
    int64_t duration_ns = -1; ///< the buffer's own duration, -1 when unset
};

// Why a source could not be opened or stopped: what a user reads first, then GStreamer's
// debug text for whoever digs further.
struct MediaError {
    std::string message; ///< GStreamer's own, e.g. "Could not determine type of stream."
    std::string detail;  ///< "<element>: <GStreamer's debug string>"; may be empty
};

// A pipeline clock as another program on this machine can tell it: clock time = base time +
// running time, and two pipelines on the same kind of system clock within one boot read the
// same time.
struct ClockIdentity {
    std::string name;    ///< the clock's object name, e.g. "GstSystemClock"
    std::string type;    ///< "system monotonic", "system realtime" or "other"
    std::string boot_id; ///< of this machine's current boot (a monotonic clock counts within it); empty when unknown
    int64_t base_time_ns = 0;
    // "HOST:PORT" of the network time provider that serves the clock (a sender's), or that a
    // receiver follows to put its times on the sender's; empty for a clock of one machine alone.
    std::string network;
    int64_t error_ns = -1; ///< a followed clock's estimated error: half its round trip; -1 when not known
};

// How a time of this machine's monotonic clock lies on a followed network clock: external =
// external_ns + (internal - internal_ns) * num / denom.
struct ClockMapping {
    int64_t internal_ns = 0, external_ns = 0;
    uint64_t num = 1, denom = 1;
    int64_t error_ns = -1; ///< how far off it may be; -1 when not known

    int64_t external(int64_t internal) const
    {
        return external_ns + int64_t((__int128)(internal - internal_ns) * num / denom);
    }
};

enum class MediaItem : uint8_t {
    Frame,       ///< `*frame` holds the next video frame
    Sound,       ///< `*sound` holds the next sound buffer
    Idle,        ///< a live source delivered nothing for `idle_ns` (or waits to reopen); it is still there
    Interrupted, ///< a live source lost its input (`*error` says why) and opens it again
    End,         ///< every stream has ended
    Failed,      ///< `*error` says why; nothing more comes
};

struct MediaSourceOptions {
    bool video = true; ///< hand out the (first) video stream
    bool audio = true; ///< hand out every audio stream
    // Without a frame, a sample, a message or the end for this long, next() fails ("Decoding
    // stalled: ..."); 0 takes SKELV_STALL_SECONDS or its default of 60 s. Not for a live
    // source: it returns Idle instead, for as long as it is quiet.
    double stall_seconds = 0;
    // A live source's next() returns Idle after waiting this long for anything.
    int64_t idle_ns = 100'000'000;
    // A live source that fails, or a stream from the network that ends (its sender went away),
    // is opened again, after 1, 2, 4 ... up to 30 s (back to 1 s once it delivers), for as long
    // as the caller goes on: next() says Interrupted at each loss and Idle in between. Its
    // running time goes on across the gap on the same clock, so the gap keeps its real length;
    // its streams keep their indices. A capture or a playlist that ends has ended (End).
    bool reconnect = false;
};

class MediaSource {
public:
    // The source started and its streams known (each present stream has delivered or
    // ended), or null with `*error`. Never blocks longer than the stall limit, also on a FIFO
    // that nobody writes to.
    static std::unique_ptr<MediaSource> open(const SourceRequest& request, const MediaSourceOptions& options,
                                             MediaError* error);
    virtual ~MediaSource() = default;

    // The next frame or sound buffer, in the order the streams deliver them.
    virtual MediaItem next(MediaFrame* frame, MediaSound* sound, MediaError* error) = 0;

    // A capture device or a stream that delivers in real time, on the pipeline clock: it never
    // stalls, its frames may be lost when the reader falls behind. Told by its pipeline, which
    // does not preroll (udp, rtp, srt, rtsp, a live launch description), or by a playlist that
    // is still growing (HLS without its end). Known from the open on.
    virtual bool live() const = 0;
    // A source timed as it arrives, on the pipeline clock (it does not preroll: udp, rtp, srt,
    // rtsp, a live launch description): the clock its running times count on, whose base
    // time a reopened source keeps. None for any other source, whose times are the
    // recording's own.
    virtual std::optional<ClockIdentity> arrival_clock() const = 0;
    // The followed network clock's latest calibration against the arrival clock; none without one.
    virtual std::optional<ClockMapping> network_mapping() const = 0;
    // Frames of a live source dropped because the reader did not take them in time: lost by
    // the tool, not by the device. Its video queue holds about a second of frames and then
    // drops the oldest, each counted; a file's queues wait for the reader instead (always 0).
    virtual int64_t frames_lost() const = 0;

    virtual const std::vector<MediaStream>& streams() const = 0;
    // Length as the container declares it; none for a live source or when untold.
    virtual std::optional<int64_t> duration_ns() const = 0;
    // Frames per second of the video stream as declared; 0 when variable or unknown.
    virtual double declared_framerate() const = 0;
    // Element factory of the demuxer; empty when none.
    virtual std::string demuxer() const = 0;
    // Whether it comes a segment at a time (a playlist: HLS, DASH), with pauses between.
    virtual bool segmented() const = 0;
    // Pipeline warnings since the last call, each once, oldest first: "Warning from
    // <element>: <message>", "No decoder for <format>; the stream is not read", "Sound of
    // stream <index> was dropped while the reader fell behind the live source".
    virtual std::vector<std::string> take_warnings() = 0;

    // Goes to the key frame at or before `time_ns` (a time as the frames are handed out),
    // dropping what was queued; every later frame and sound buffer keeps the time a reading
    // from the start gives it. False, the reading going on where it was, when the source
    // cannot seek (a FIFO, a live source, some streams).
    virtual bool seek(int64_t time_ns) = 0;
};

} // namespace skelv
