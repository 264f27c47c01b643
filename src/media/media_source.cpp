#include "media/media_source.h"

#include "media/gst_ptr.h"
#include "media/log.h"
#include "media/pipeline_support.h"

#include <gst/app/gstappsink.h>
#include <gst/audio/audio.h>
#include <gst/net/gstnet.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#define GST_CAT_DEFAULT skelv_analyzer_debug

namespace skelv {

SourceRequest source_request_of(const std::string& argument)
{
    // RFC 3986: a scheme is a letter, then letters, digits, '+', '-' or '.'.
    const size_t colon = argument.find("://");
    const bool scheme = colon != std::string::npos && colon > 0 && g_ascii_isalpha(argument[0]) &&
                        std::all_of(argument.begin(), argument.begin() + long(colon), [](char c) {
                            return g_ascii_isalnum(c) || c == '+' || c == '-' || c == '.';
                        });
    return {scheme ? SourceKind::Uri : SourceKind::File, argument};
}

bool network_clock_address(const std::string& uri, bool host_needed, std::string* address)
{
    return host_port_address(uri, "net://", host_needed, address);
}

bool host_port_address(const std::string& uri, std::string_view scheme, bool host_needed, std::string* address)
{
    if (uri.compare(0, scheme.size(), scheme) != 0)
        return false;
    const std::string rest = uri.substr(scheme.size());
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = rest.substr(0, colon), port = rest.substr(colon + 1);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    const bool plain = host.find_first_of(":[]/@ ") == std::string::npos;
    if ((host.empty() && host_needed) || (!bracketed && !plain) || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 || std::stoi(port) > 65535)
        return false;
    *address = rest;
    return true;
}

void split_clock_address(const std::string& address, std::string* host, int* port)
{
    const size_t colon = address.rfind(':');
    *host = address.substr(0, colon);
    if (host->size() > 2 && host->front() == '[')
        *host = host->substr(1, host->size() - 2);
    *port = std::stoi(address.substr(colon + 1));
}

bool is_network_source(const SourceRequest& request)
{
    if (request.kind != SourceKind::Uri)
        return false;
    for (const char* scheme : {"http://", "https://", "rtsp://", "rtsps://", "srt://", "udp://", "rtp://"})
        if (g_ascii_strncasecmp(request.location.c_str(), scheme, strlen(scheme)) == 0)
            return true;
    return false;
}

namespace {

constexpr guint kQueuedFrames = 4;  ///< decoded frames an appsink holds before the decoder waits
constexpr guint kQueuedSounds = 16; ///< sound buffers likewise (each only a few ms)
// A live source cannot wait for the reader: its appsinks hold about a second of pictures and
// several of sound (small, and what a playlist's segment bursts in first) and then drop their
// oldest.
constexpr guint kQueuedLiveFrames = 25;
constexpr guint kQueuedLiveSounds = 400;
constexpr gint64 kFirstBackOffUs = G_USEC_PER_SEC;       ///< before the first attempt to reopen
constexpr gint64 kLongestBackOffUs = 30 * G_USEC_PER_SEC; ///< the back-off doubles up to this
constexpr guint kPipeBlockSize = 65536; ///< bytes per read from a FIFO or device
constexpr int kUpstreamSteps = 32;  ///< pads walked upstream in search of a stream's decoder
constexpr auto kHeldErrorRecheck = std::chrono::milliseconds(50); ///< see GstMediaSource::relay

// The readers take 8-bit YUV in the decoder's own layout; anything else is converted to one
// of these. Sound comes as interleaved floats at its own rate and channel count.
// Limits of the queues of demuxed streams: time, with count and bytes as a last resort.
constexpr GstClockTime kQueuedDemuxedNs = 10 * GST_SECOND;
constexpr guint kQueuedDemuxedBuffers = 100000;
constexpr guint kQueuedDemuxedBytes = 64 << 20;
constexpr const char* kFrameCaps = "video/x-raw, format=(string){ I420, YV12, NV12, NV21, Y42B, Y444 }";
constexpr const char* kSoundCaps = "audio/x-raw, format=(string)F32LE, layout=(string)interleaved";

guint queue_limit(StreamType type, bool live)
{
    if (type == StreamType::Video)
        return live ? kQueuedLiveFrames : kQueuedFrames;
    return live ? kQueuedLiveSounds : kQueuedSounds;
}

// ---------------------------------------------------------------- errors

MediaError error_of(GstMessage* message)
{
    GError* parsed = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &parsed, &debug);
    GErrorPtr parsed_owner(parsed);
    GCharPtr debug_owner(debug);
    return {parsed->message,
            std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))) + ": " + (debug != nullptr ? debug : "(no debug info)")};
}

// Posts an error from a streaming thread, where nothing can be returned.
void post_error(GstElement* poster, GQuark domain, gint code, const std::string& message, const std::string& debug)
{
    gst_element_message_full(poster, GST_MESSAGE_ERROR, domain, code, g_strdup(message.c_str()),
                             g_strdup(debug.c_str()), __FILE__, "media_source", __LINE__);
}

std::string missing_element_message(const char* factory)
{
    return std::string("The GStreamer element \"") + factory + "\" is missing (is its plugin installed?)";
}

// A new element; on a streaming thread, where nothing can be returned, a missing one is an
// error posted by `poster`.
GstElement* make_element(const char* factory, GstElement* poster = nullptr)
{
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr && poster != nullptr)
        post_error(poster, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN, missing_element_message(factory), "");
    return element;
}

// ---------------------------------------------------------------- stream description

const char* media_type_of(const GstCaps* caps)
{
    return caps != nullptr && gst_caps_get_size(caps) > 0 ? gst_structure_get_name(gst_caps_get_structure(caps, 0))
                                                          : "";
}

std::optional<StreamType> stream_type_of(const char* media)
{
    if (g_str_has_prefix(media, "video/") || g_str_has_prefix(media, "image/"))
        return StreamType::Video;
    if (g_str_has_prefix(media, "audio/"))
        return StreamType::Audio;
    return std::nullopt;
}

// Caps that need no decoding: every structure raw audio or video in system memory.
bool raw_caps(const GstCaps* caps)
{
    if (caps == nullptr || gst_caps_is_any(caps) || gst_caps_is_empty(caps))
        return false;
    for (guint i = 0; i < gst_caps_get_size(caps); i++) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        const GstCapsFeatures* features = gst_caps_get_features(caps, i);
        if ((!gst_structure_has_name(structure, "video/x-raw") && !gst_structure_has_name(structure, "audio/x-raw")) ||
            (features != nullptr && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)))
            return false;
    }
    return true;
}

GstCapsPtr caps_of(GstPad* pad)
{
    GstCaps* caps = gst_pad_get_current_caps(pad);
    return GstCapsPtr(caps != nullptr ? caps : gst_pad_query_caps(pad, nullptr));
}

// Every object an iterator yields, each with a reference of our own; frees the iterator.
template <typename T> std::vector<GstObjectPtr<T>> collected(GstIterator* iterator)
{
    std::vector<GstObjectPtr<T>> objects;
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(iterator, &item) == GST_ITERATOR_OK) {
        objects.emplace_back(static_cast<T*>(g_value_dup_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(iterator);
    return objects;
}

// The pad feeding `pad` from upstream: a ghost pad's target, or the peer of the sink pad that
// the element of `pad` links it to internally; null at the edge of a bin.
GstPadPtr upstream_of(GstPad* pad)
{
    if (GST_IS_GHOST_PAD(pad))
        return GstPadPtr(gst_ghost_pad_get_target(GST_GHOST_PAD(pad)));
    GstIterator* links = gst_pad_iterate_internal_links(pad);
    const std::vector<GstPadPtr> inputs = links != nullptr ? collected<GstPad>(links) : std::vector<GstPadPtr>{};
    return inputs.empty() ? nullptr : GstPadPtr(gst_pad_get_peer(inputs.front().get()));
}

// The decoder whose output reaches `pad`, through queues, converters and bins; null when a
// demuxer or a source comes first.
GstElementPtr decoder_of(GstPad* pad)
{
    GstPadPtr current(GST_PAD(gst_object_ref(pad)));
    for (int step = 0; current && step < kUpstreamSteps; ++step) {
        if (!GST_IS_GHOST_PAD(current.get())) {
            GstElementPtr element(gst_pad_get_parent_element(current.get()));
            if (!element)
                return nullptr;
            const char* klass = klass_of(element.get());
            if (strstr(klass, "Decoder") != nullptr)
                return element;
            if (strstr(klass, "Demux") != nullptr || strstr(klass, "Source") != nullptr)
                return nullptr;
        }
        current = upstream_of(current.get());
    }
    return nullptr;
}

std::string language_of(GstPad* pad)
{
    for (guint i = 0;; ++i) {
        GstMiniObjectPtr<GstEvent> event(gst_pad_get_sticky_event(pad, GST_EVENT_TAG, i));
        if (!event)
            return "";
        GstTagList* tags = nullptr;
        gst_event_parse_tag(event.get(), &tags);
        gchar* code = nullptr;
        if (gst_tag_list_get_string(tags, GST_TAG_LANGUAGE_CODE, &code)) {
            GCharPtr owned(code);
            return code;
        }
    }
}

// Fills in what a stream carries and who decodes it, from the pad it came out of.
void describe(MediaStream* stream, GstPad* origin)
{
    if (stream->format.empty()) {
        GstElementPtr decoder(decoder_of(origin));
        GstPadPtr input(decoder ? gst_element_get_static_pad(decoder.get(), "sink") : nullptr);
        GstCapsPtr caps(caps_of(input ? input.get() : origin));
        if (decoder && gst_element_get_factory(decoder.get()) != nullptr)
            stream->decoder = GST_OBJECT_NAME(gst_element_get_factory(decoder.get()));
        stream->format = caps ? caps_text(caps.get()) : "";
    }
    stream->language = language_of(origin);
}

bool has_adaptive_demuxer(GstElement* bin)
{
    for (const GstElementPtr& element : collected<GstElement>(gst_bin_iterate_recurse(GST_BIN(bin))))
        if (strstr(klass_of(element.get()), "Demuxer/Adaptive") != nullptr)
            return true;
    return false;
}

// Factory of the container's demuxer anywhere in `bin`; an adaptive one (HLS, DASH) only when
// it is alone.
std::string demuxer_in(GstElement* bin)
{
    std::string container, adaptive;
    for (const GstElementPtr& element : collected<GstElement>(gst_bin_iterate_recurse(GST_BIN(bin)))) {
        const char* klass = klass_of(element.get());
        GstElementFactory* factory = gst_element_get_factory(element.get());
        if (factory != nullptr && strstr(klass, "Demux") != nullptr)
            (strstr(klass, "Adaptive") != nullptr ? adaptive : container) = GST_OBJECT_NAME(factory);
    }
    return container.empty() ? adaptive : container;
}

// ---------------------------------------------------------------- the source

class GstMediaSource;

// Where one pad's stream goes: a converter and an appsink that the reader pulls from, or a
// fakesink for a stream that is not read.
struct Branch {
    GstMediaSource* source;
    StreamType type;
    int stream = -1;     ///< MediaStream::index; -1 for a stream neither audio nor video
    GstElement* feeder;  ///< decoding bin whose pad feeds the branch; null for a raw launch pad
    GstElement* input;   ///< borrowed: converter or fakesink, the element the pad links to
    GstElementPtr sink;  ///< the appsink, our own reference; null for a fakesink
    // Guarded by the source's mutex.
    bool delivered = false; ///< a sample has been announced
    bool ended = false;     ///< end of stream, or pruned
    guint queued = 0;       ///< samples announced and not yet pulled
    int64_t dropped = 0;    ///< samples a live source's appsink dropped unread
    int64_t dropped_unsaid = 0; ///< of those, the ones since the last sample handed out
    // The reading thread's alone.
    GstSegment segment{};
    GstCapsPtr caps;   ///< of the latest sample; parsed again only when they change
    GstVideoInfo video{};
    GstAudioInfo audio{};
    bool caps_parsed = false;
    bool handed_out = false; ///< a sample of it has been handed out
    // After a seek: the stream time less the running time of the segment before it, which
    // gives every later time as a reading from the start would have it.
    int64_t stream_less_running_ns = 0;
};

// A stream as a decoding bin or a launch description announced it.
struct Announced {
    MediaStream stream;
    GstPadPtr origin;    ///< the pad it came out of
    GstElement* feeder;  ///< the decoding bin that announced it; null for a raw launch pad
    std::string id;      ///< its stream id, which orders the streams of one container
    size_t built = 0;    ///< when its decoding bin was made, or its raw pad taken: orders the containers
};

// Something the streaming threads tell the reading thread: a sample announced by a branch,
// or a bus message.
struct Event {
    Branch* sample_of = nullptr;
    GstMessagePtr message;
};

// Lets the buses of elements, which may outlive the source, reach it while it lives.
struct SourceLink {
    explicit SourceLink(GstMediaSource* linked) : source(linked) {}
    std::mutex mutex;
    GstMediaSource* source; ///< null once the source closes
};

class GstMediaSource final : public MediaSource {
public:
    explicit GstMediaSource(const MediaSourceOptions& options);
    ~GstMediaSource() override;

    bool start(const SourceRequest& request, MediaError* error);

    MediaItem next(MediaFrame* frame, MediaSound* sound, MediaError* error) override;
    const std::vector<MediaStream>& streams() const override { return streams_; }
    std::optional<int64_t> duration_ns() const override;
    double declared_framerate() const override;
    std::string demuxer() const override { return demuxer_; }
    bool segmented() const override { return segmented_; }
    bool live() const override { return live_; }
    std::optional<ClockIdentity> arrival_clock() const override;
    std::optional<ClockMapping> network_mapping() const override;
    int64_t frames_lost() const override;
    std::vector<std::string> take_warnings() override;
    bool seek(int64_t time_ns) override;

private:
    bool can_seek() const;
    int64_t time_of(const Branch* branch, GstClockTime timestamp) const;
    bool follow_network_clock(const std::string& address, MediaError* error);
    void take_clock_observations() const;
    int64_t network_error_ns() const;
    // Building, on the calling thread.
    bool build(const SourceRequest& request, MediaError* error);
    bool build_path(const std::string& path, MediaError* error);
    bool build_uri(const SourceRequest& request, MediaError* error);
    bool build_launch(const std::string& description, MediaError* error);
    void play();
    bool live_playlist() const;
    void make_live();
    GstElement* add_decoding_bin(const char* factory, MediaError* error);
    bool add_fed(GstElement* source, const char* factory, MediaError* error);

    // Pads and streams, on whichever thread the pad appears.
    void take_pad(GstPad* pad, GstElement* feeder);
    Branch* reusable_branch(GstElement* feeder, StreamType type);
    std::unique_ptr<Branch> make_branch(GstPad* pad, GstElement* feeder, std::optional<StreamType> type);
    GstElement* add_reader(Branch* branch);
    int announce_stream(const MediaStream& stream, GstPad* origin, GstElement* feeder);
    void learn_language(int stream);
    void take_unknown_stream(GstElement* bin, GstPad* pad, GstCaps* caps);
    void prune_unlinked(GstElement* feeder);
    void push(Event event);
    void announce(Branch* branch);
    void count_dropped(Branch* branch);
    void end(Branch* branch);

    static void on_pad_added(GstElement* bin, GstPad* pad, GstMediaSource* source) noexcept;
    static void on_no_more_pads(GstElement* bin, GstMediaSource* source) noexcept;
    static void on_unknown_type(GstElement* bin, GstPad* pad, GstCaps* caps, GstMediaSource* source) noexcept;
    static void on_source_setup(GstElement* bin, GstElement* element, GstMediaSource* source) noexcept;
    static GstBusSyncReply on_message(GstBus* bus, GstMessage* message, gpointer source) noexcept;
    static void relay(GstBin* pipeline, GstBin* bin, GstElement* element, GstMediaSource* source) noexcept;
    void hold_error(GstMessage* error);

    // Reading, on the calling thread.
    bool wait_until_open(MediaError* error);
    bool open_ready() const;
    void order_streams();
    void await(std::unique_lock<std::mutex>& lock, StallWatch& watch, uint64_t* seen,
               std::optional<gint64> until_us = std::nullopt);
    std::optional<MediaError> swallowed_error();
    void take_message(GstMessage* message);
    void fail(MediaError error);
    void fail_stalled();
    void adopt_streams();
    std::optional<MediaItem> deliver(Branch* branch, MediaFrame* frame, MediaSound* sound);
    bool deliver_frame(Branch* branch, GstSample* sample, MediaFrame* frame);
    bool deliver_sound(Branch* branch, GstSample* sample, MediaSound* sound);
    void note_caps(Branch* branch, GstCaps* caps);
    void warn_dropped_sound(Branch* branch);
    void release_held();

    // Losing and regaining a live input, on the calling thread.
    bool reconnects() const { return live_ && options_.reconnect; }
    bool interrupted_by_end() const;
    MediaItem interrupt(MediaError why, MediaError* error);
    std::optional<MediaItem> await_reopen(gint64 idle_at_us, MediaError* error);
    void stop_input();
    bool reopen(MediaError* error);
    void add_warning(std::string text);

    const MediaSourceOptions options_;
    const gint64 stall_limit_; ///< µs
    const std::shared_ptr<SourceLink> link_;
    GstElementPtr pipeline_;
    GstBusPtr bus_;
    int fd_ = -1; ///< a FIFO or device we opened ourselves for fdsrc
    SourceRequest request_;
    GstCapsPtr source_caps_; ///< set on a URI's source element; null when the source finds its own
    std::atomic<bool> live_ = false;
    bool clock_live_ = false; ///< timestamped on the pipeline clock as it captures (no preroll)

    // Taken by pad handlers for their whole run, so that closing waits for one under way.
    std::mutex build_mutex_;
    bool closing_ = false; ///< guarded by build_mutex_

    // Guards what the streaming threads share with the reading thread. Never held while
    // calling into GStreamer in a way that may post a message: the bus handler takes it.
    mutable std::mutex mutex_;
    std::condition_variable moved_;
    std::deque<Event> events_;
    std::vector<std::unique_ptr<Branch>> branches_;
    Branch* video_ = nullptr; ///< the branch that reads the first video stream
    std::vector<Announced> announced_;
    std::vector<GstElement*> unexposed_; ///< decoding bins that have not yet exposed all their pads
    uint64_t signs_of_life_ = 0;
    std::vector<GstMessagePtr> held_errors_; ///< errors in decoding bins that did not reach the pipeline's bus
    std::vector<guint32> errors_seen_;       ///< sequence numbers of the errors that did
    std::map<GstElement*, size_t> built_at_; ///< per decoding bin: Announced::built
    size_t built_ = 0;                       ///< decoding bins made and raw pads taken
    std::vector<bool> reclaimed_; ///< per announced stream: announced again since the latest reopen
    int64_t frames_lost_ = 0;

    // The reading thread's alone.
    std::vector<MediaStream> streams_;
    std::string demuxer_;
    bool segmented_ = false;
    std::vector<std::string> warnings_;
    std::set<std::string> warned_;
    bool ended_ = false;
    std::optional<MediaError> failure_;
    GstSamplePtr held_; ///< the sample whose data the caller is looking at
    GstVideoFrame held_frame_{};
    bool frame_mapped_ = false;
    GstMapInfo held_sound_{};
    bool sound_mapped_ = false;
    int64_t frames_ = 0;        ///< video frames handed out
    int64_t last_frame_ns_ = 0; ///< running time of the latest
    // Reopening a live source.
    gint64 backoff_us_ = kFirstBackOffUs;
    std::optional<gint64> reopen_at_us_; ///< monotonic µs of the next attempt while the input is down
    GstClockTime base_time_ = 0;         ///< the first run's, kept by every later one
    int64_t time_offset_ns_ = 0;         ///< added to the times of a reopened source that starts again at 0
    bool sought_ = false;                ///< timed in stream time since a seek
    // A network clock followed beside this machine's: its latest exchanges with its server.
    struct ClockObservation {
        int64_t offset_ns;     ///< the server's time less ours, at the middle of the exchange
        int64_t round_trip_ns;
    };
    GstObjectPtr<GstClock> network_clock_;
    GstBusPtr network_clock_bus_;
    mutable std::deque<ClockObservation> clock_observations_;
};

GstMediaSource::GstMediaSource(const MediaSourceOptions& options)
    : options_(options), stall_limit_(stall_limit_us(options.stall_seconds)),
      link_(std::make_shared<SourceLink>(this)),
      pipeline_(gst_adopt_sink(gst_pipeline_new("skelv_source")))
{
    bus_.reset(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    // The system clock, even beside a capture card that offers its own: a reopened live source
    // keeps counting on it, and the sound card's time is the picture's.
    GstObjectPtr<GstClock> clock(gst_system_clock_obtain());
    gst_pipeline_use_clock(GST_PIPELINE(pipeline_.get()), clock.get());
    gst_bus_set_sync_handler(bus_.get(), on_message, this, nullptr);
    g_signal_connect(pipeline_.get(), "deep-element-added", G_CALLBACK(relay), this);
    limit_decoder_threads_from_environment(pipeline_.get());
}

GstMediaSource::~GstMediaSource()
{
    {
        std::lock_guard build(build_mutex_);
        closing_ = true;
    }
    {
        std::lock_guard link(link_->mutex);
        link_->source = nullptr;
    }
    release_held();
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    // A message left on the bus holds its element, and the element its bus: flushing drops
    // them all, and whatever comes later.
    gst_bus_set_flushing(bus_.get(), TRUE);
    gst_bus_set_sync_handler(bus_.get(), nullptr, nullptr, nullptr);
    {
        std::lock_guard lock(mutex_);
        events_.clear();
        held_errors_.clear();
    }
    pipeline_.reset();
    if (fd_ >= 0)
        close(fd_);
}

bool GstMediaSource::start(const SourceRequest& request, MediaError* error)
{
    request_ = request;
    if (!build(request, error))
        return false;
    play();
    if (!wait_until_open(error))
        return false;
    // Only once the source runs: waiting for the clock before would start it late into its
    // stream, and its clock recovery then times the arrivals tens of ms off for a long while.
    if (!request.network_clock.empty() && !follow_network_clock(request.network_clock, error))
        return false;
    order_streams();
    adopt_streams();
    demuxer_ = demuxer_in(pipeline_.get());
    segmented_ = has_adaptive_demuxer(pipeline_.get());
    if (!live_ && live_playlist())
        make_live();
    gst_debug_bin_to_dot_file(GST_BIN(pipeline_.get()), GST_DEBUG_GRAPH_SHOW_ALL, "source_open");
    return true;
}

// A source that does not preroll captures in real time; it is known live before it delivers.
void GstMediaSource::play()
{
    const GstStateChangeReturn paused = gst_element_set_state(pipeline_.get(), GST_STATE_PAUSED);
    clock_live_ = paused == GST_STATE_CHANGE_NO_PREROLL;
    if (clock_live_)
        make_live();
    if (paused == GST_STATE_CHANGE_FAILURE ||
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        GST_CAT_INFO(skelv_analyzer_debug, "the pipeline did not start; its error message tells why");
}

// A playlist that is still growing (HLS without its end) tells no duration. Its pipeline
// prerolls, yet it goes on in real time whether read or not.
bool GstMediaSource::live_playlist() const
{
    gint64 duration = 0;
    for (const GstElementPtr& element : collected<GstElement>(gst_bin_iterate_recurse(GST_BIN(pipeline_.get()))))
        if (strstr(klass_of(element.get()), "Demuxer/Adaptive") != nullptr)
            return !gst_element_query_duration(element.get(), GST_FORMAT_TIME, &duration) || duration <= 0;
    return false;
}

// From now on the appsinks keep a bounded queue and drop its oldest rather than hold up the
// source, which would lose the data upstream unseen; announce() counts what they drop.
void GstMediaSource::make_live()
{
    std::vector<Branch*> reading;
    {
        std::lock_guard lock(mutex_);
        live_ = true;
        for (const std::unique_ptr<Branch>& branch : branches_)
            if (branch->sink)
                reading.push_back(branch.get());
    }
    for (Branch* branch : reading)
        g_object_set(branch->sink.get(), "max-buffers", queue_limit(branch->type, true), "drop", TRUE, nullptr);
}

// ---------------------------------------------------------------- building

bool GstMediaSource::build(const SourceRequest& request, MediaError* error)
{
    switch (request.kind) {
    case SourceKind::File: return build_path(request.location, error);
    case SourceKind::Uri: return build_uri(request, error);
    case SourceKind::Pipeline:
        return build_launch(request.location, error) &&
               (request.sound_location.empty() || build_launch(request.sound_location, error));
    }
    return false;
}

// filesrc blocks in open(2) on a FIFO without a writer and in read(2) on one whose writer
// went quiet, and then holds the teardown. A FIFO or device is opened here instead, without
// waiting for a writer, and fdsrc polls it, which a state change can always interrupt.
bool GstMediaSource::build_path(const std::string& path, MediaError* error)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || (!S_ISFIFO(info.st_mode) && !S_ISCHR(info.st_mode))) {
        GstElement* source = make_element("filesrc");
        if (source != nullptr)
            g_object_set(source, "location", path.c_str(), nullptr);
        return add_fed(source, "filesrc", error);
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        GCharPtr message(gst_error_get_message(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ));
        *error = {message.get(), path + ": " + g_strerror(errno)};
        return false;
    }
    // Reads follow a poll that saw data or the writer's end, so they need not be non-blocking.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    GstElement* source = make_element("fdsrc");
    if (source != nullptr)
        g_object_set(source, "fd", fd_, "blocksize", kPipeBlockSize, nullptr);
    return add_fed(source, "fdsrc", error);
}

// A source element feeding one decoding bin.
bool GstMediaSource::add_fed(GstElement* source, const char* factory, MediaError* error)
{
    if (source == nullptr) {
        *error = {missing_element_message(factory), ""};
        return false;
    }
    gst_bin_add(GST_BIN(pipeline_.get()), source);
    GstElement* decoding = add_decoding_bin("decodebin", error);
    if (decoding == nullptr)
        return false;
    if (!gst_element_link(source, decoding)) {
        *error = {std::string("Could not link ") + factory + " to decodebin", ""};
        return false;
    }
    return true;
}

bool GstMediaSource::build_uri(const SourceRequest& request, MediaError* error)
{
    const std::string& uri = request.location;
    // A local file takes the path's way, so that a FIFO behind a file:// URI cannot hang.
    if (g_ascii_strncasecmp(uri.c_str(), "file:", 5) == 0) {
        GErrorPtr invalid;
        GError* raw = nullptr;
        GCharPtr path(g_filename_from_uri(uri.c_str(), nullptr, &raw));
        invalid.reset(raw);
        if (!path) {
            *error = {invalid->message, uri};
            return false;
        }
        return build_path(path.get(), error);
    }
    if (!request.caps.empty() && !source_caps_) {
        source_caps_.reset(gst_caps_from_string(request.caps.c_str()));
        if (!source_caps_) {
            *error = {"Could not read the caps \"" + request.caps + "\"", ""};
            return false;
        }
    }
    GstElement* decoding = add_decoding_bin("uridecodebin", error);
    if (decoding == nullptr)
        return false;
    g_object_set(decoding, "uri", uri.c_str(), nullptr);
    if (source_caps_)
        g_signal_connect(decoding, "source-setup", G_CALLBACK(on_source_setup), this);
    return true;
}

// What arrives over UDP carries no caps of its own: RTP is known only from the caps given.
void GstMediaSource::on_source_setup(GstElement* /*bin*/, GstElement* element, GstMediaSource* source) noexcept
{
    GParamSpec* property = g_object_class_find_property(G_OBJECT_GET_CLASS(element), "caps");
    if (property != nullptr && property->value_type == GST_TYPE_CAPS)
        g_object_set(element, "caps", source->source_caps_.get(), nullptr);
    else
        post_error(element, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION,
                   std::string("The source ") + G_OBJECT_TYPE_NAME(element) + " takes no caps", "");
}

// Every unlinked source pad of the bin's elements, in the order the description names them,
// each ghosted on the bin.
std::vector<GstPadPtr> ghost_unlinked_sources(GstElement* bin)
{
    std::vector<GstElementPtr> children = collected<GstElement>(gst_bin_iterate_elements(GST_BIN(bin)));
    // A bin lists its children newest first.
    std::reverse(children.begin(), children.end());
    std::vector<GstPadPtr> ghosts;
    for (const GstElementPtr& child : children)
        for (const GstPadPtr& pad : collected<GstPad>(gst_element_iterate_src_pads(child.get())))
            if (!gst_pad_is_linked(pad.get())) {
                GstPad* ghost = gst_ghost_pad_new(nullptr, pad.get());
                ghosts.emplace_back(GST_PAD(gst_object_ref(ghost)));
                gst_element_add_pad(bin, ghost);
            }
    return ghosts;
}

// The description becomes a bin; each unlinked source pad in it is then taken like a
// demuxer's: raw ones go straight to the converters, others through a decoding bin.
bool GstMediaSource::build_launch(const std::string& description, MediaError* error)
{
    GError* raw = nullptr;
    GstElement* parsed =
        gst_parse_bin_from_description_full(description.c_str(), FALSE, nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &raw);
    GErrorPtr invalid(raw);
    GstElementPtr bin(gst_adopt_sink(parsed));
    if (invalid || !bin) {
        *error = {invalid ? invalid->message : "The launch description could not be parsed", description};
        return false;
    }
    gst_bin_add(GST_BIN(pipeline_.get()), bin.get());
    for (const GstPadPtr& pad : ghost_unlinked_sources(bin.get())) {
        GstCapsPtr caps(caps_of(pad.get()));
        if (raw_caps(caps.get())) {
            take_pad(pad.get(), nullptr);
            continue;
        }
        GstElement* decoding = add_decoding_bin("decodebin", error);
        GstPadPtr input(decoding != nullptr ? gst_element_get_static_pad(decoding, "sink") : nullptr);
        if (!input || gst_pad_link(pad.get(), input.get()) != GST_PAD_LINK_OK) {
            if (decoding != nullptr)
                *error = {"Could not link the launch description's pad " + std::string(GST_OBJECT_NAME(pad.get())) +
                              " to a decoder",
                          description};
            return false;
        }
    }
    return true;
}

// decodebin queues the demuxed streams in a multiqueue whose limits are by buffer count and
// grow by one whenever one stream's queue is full while another's is empty. Over hours of a
// recording whose sound comes in many small buffers (silence codes small) the limit keeps
// growing, and each queued buffer can keep a whole demuxed block alive: memory grew with the
// recording's length. Bounded by time instead (with a count no file reaches), it stays flat;
// the time is far beyond what any muxer interleaves.
void bound_decoding_queues(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory == nullptr || g_strcmp0(GST_OBJECT_NAME(factory), "decodebin") != 0)
        return;
    g_object_set(element, "max-size-time", guint64(kQueuedDemuxedNs), "max-size-buffers", guint(kQueuedDemuxedBuffers),
                 "max-size-bytes", guint(kQueuedDemuxedBytes), nullptr);
}

// A decoding bin that announces decoded pads, and undecodable streams as such rather than as
// pads of encoded data.
GstElement* GstMediaSource::add_decoding_bin(const char* factory, MediaError* error)
{
    GstElement* bin = make_element(factory);
    if (bin == nullptr) {
        *error = {missing_element_message(factory), ""};
        return nullptr;
    }
    g_object_set(bin, "expose-all-streams", FALSE, nullptr);
    bound_decoding_queues(bin);
    g_signal_connect(bin, "pad-added", G_CALLBACK(on_pad_added), this);
    g_signal_connect(bin, "no-more-pads", G_CALLBACK(on_no_more_pads), this);
    g_signal_connect(bin, "unknown-type", G_CALLBACK(on_unknown_type), this);
    {
        std::lock_guard lock(mutex_);
        unexposed_.push_back(bin);
        built_at_[bin] = built_++;
    }
    gst_bin_add(GST_BIN(pipeline_.get()), bin);
    return bin;
}

// ---------------------------------------------------------------- pads and streams

void GstMediaSource::on_pad_added(GstElement* bin, GstPad* pad, GstMediaSource* source) noexcept
{
    if (GST_PAD_IS_SRC(pad))
        source->take_pad(pad, bin);
}

void GstMediaSource::on_no_more_pads(GstElement* bin, GstMediaSource* source) noexcept
{
    source->prune_unlinked(bin);
}

void GstMediaSource::on_unknown_type(GstElement* bin, GstPad* pad, GstCaps* caps, GstMediaSource* source) noexcept
{
    source->take_unknown_stream(bin, pad, caps);
}

// Links a new pad: the first video stream and every audio stream to a branch that reads it,
// anything else to a fakesink. A pad of a chained file's next group takes over the branch of
// the group before.
void GstMediaSource::take_pad(GstPad* pad, GstElement* feeder)
{
    std::lock_guard build(build_mutex_);
    if (closing_)
        return;
    GstCapsPtr caps(caps_of(pad));
    const std::optional<StreamType> type = stream_type_of(media_type_of(caps.get()));
    Branch* branch = type ? reusable_branch(feeder, *type) : nullptr;
    if (branch == nullptr) {
        std::unique_ptr<Branch> made = make_branch(pad, feeder, type);
        if (!made)
            return;
        branch = made.get();
        std::lock_guard lock(mutex_);
        branches_.push_back(std::move(made));
    }
    GstPadPtr input(gst_element_get_static_pad(branch->input, "sink"));
    if (gst_pad_link(pad, input.get()) != GST_PAD_LINK_OK)
        post_error(branch->input, GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE,
                   std::string("Could not link ") + GST_OBJECT_NAME(pad) + " to " + GST_OBJECT_NAME(branch->input), "");
}

// A reading branch of `type` left unlinked by `feeder`'s group before.
Branch* GstMediaSource::reusable_branch(GstElement* feeder, StreamType type)
{
    std::lock_guard lock(mutex_);
    for (const std::unique_ptr<Branch>& branch : branches_) {
        if (branch->feeder != feeder || branch->type != type || !branch->sink || branch->ended)
            continue;
        GstPadPtr input(gst_element_get_static_pad(branch->input, "sink"));
        if (!gst_pad_is_linked(input.get()))
            return branch.get();
    }
    return nullptr;
}

std::unique_ptr<Branch> GstMediaSource::make_branch(GstPad* pad, GstElement* feeder, std::optional<StreamType> type)
{
    auto branch = std::make_unique<Branch>();
    branch->source = this;
    branch->type = type.value_or(StreamType::Video);
    branch->feeder = feeder;
    gst_segment_init(&branch->segment, GST_FORMAT_TIME);
    bool reads = false;
    {
        std::lock_guard lock(mutex_);
        reads = type == StreamType::Audio ? options_.audio : type == StreamType::Video && options_.video && !video_;
        if (reads && type == StreamType::Video)
            video_ = branch.get();
    }
    if (type) {
        MediaStream stream;
        stream.type = *type;
        stream.read = reads;
        branch->stream = announce_stream(stream, pad, feeder);
    }
    branch->input = reads ? add_reader(branch.get()) : make_element("fakesink", pipeline_.get());
    if (branch->input == nullptr) {
        std::lock_guard lock(mutex_);
        if (video_ == branch.get())
            video_ = nullptr;
        return nullptr;
    }
    if (!reads) {
        g_object_set(branch->input, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
        gst_bin_add(GST_BIN(pipeline_.get()), branch->input);
        gst_element_sync_state_with_parent(branch->input);
    }
    return branch;
}

// converter → appsink for a branch that reads its stream; returns the converter.
GstElement* GstMediaSource::add_reader(Branch* branch)
{
    const bool video = branch->type == StreamType::Video;
    GstElement* convert = make_element(video ? "videoconvert" : "audioconvert", pipeline_.get());
    GstElement* sink = make_element("appsink", pipeline_.get());
    if (convert == nullptr || sink == nullptr) {
        for (GstElement* made : {convert, sink})
            if (made != nullptr)
                gst_object_unref(gst_object_ref_sink(made));
        return nullptr;
    }
    GstCapsPtr caps(gst_caps_from_string(video ? kFrameCaps : kSoundCaps));
    const bool live = live_;
    g_object_set(sink, "caps", caps.get(), "max-buffers", queue_limit(branch->type, live), "drop", live, "sync", FALSE,
                 "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.eos = [](GstAppSink*, gpointer data) noexcept {
        auto* branch = static_cast<Branch*>(data);
        branch->source->end(branch);
    };
    callbacks.new_sample = [](GstAppSink*, gpointer data) noexcept {
        auto* branch = static_cast<Branch*>(data);
        branch->source->announce(branch);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, branch, nullptr);
    branch->sink.reset(GST_ELEMENT(gst_object_ref(sink)));
    gst_bin_add_many(GST_BIN(pipeline_.get()), convert, sink, nullptr);
    gst_element_link(convert, sink);
    gst_element_sync_state_with_parent(sink);
    gst_element_sync_state_with_parent(convert);
    return convert;
}

// Adds a stream to the list, next in line; returns its index. A reopened source's streams
// take back the indices they had, in order of type.
int GstMediaSource::announce_stream(const MediaStream& stream, GstPad* origin, GstElement* feeder)
{
    GCharPtr id(gst_pad_get_stream_id(origin));
    Announced announced{stream, GstPadPtr(GST_PAD(gst_object_ref(origin))), feeder, id ? id.get() : ""};
    std::lock_guard lock(mutex_);
    announced.built = feeder != nullptr ? built_at_[feeder] : built_++;
    for (size_t i = 0; i < reclaimed_.size(); ++i)
        if (!reclaimed_[i] && announced_[i].stream.type == stream.type && announced_[i].stream.read == stream.read) {
            reclaimed_[i] = true;
            announced.stream = announced_[i].stream;
            announced_[i] = std::move(announced);
            return int(i);
        }
    announced.stream.index = int(announced_.size());
    announced_.push_back(std::move(announced));
    return announced_.back().stream.index;
}

void GstMediaSource::take_unknown_stream(GstElement* bin, GstPad* pad, GstCaps* caps)
{
    const std::optional<StreamType> type = stream_type_of(media_type_of(caps));
    if (!type)
        return;
    MediaStream stream;
    stream.type = *type;
    stream.format = caps_text(caps);
    announce_stream(stream, pad, bin);
}

// Once a decoding bin has exposed its pads, a branch it fed that is still unlinked lost its
// stream to a chained file's next group, which has no such stream: it leaves the pipeline, so
// that the end of stream does not wait for it.
void GstMediaSource::prune_unlinked(GstElement* feeder)
{
    std::lock_guard build(build_mutex_);
    std::vector<Branch*> unlinked;
    {
        std::lock_guard lock(mutex_);
        for (const std::unique_ptr<Branch>& branch : branches_) {
            GstPadPtr input(gst_element_get_static_pad(branch->input, "sink"));
            if (branch->feeder == feeder && !branch->ended && !gst_pad_is_linked(input.get())) {
                branch->ended = true;
                unlinked.push_back(branch.get());
            }
        }
        std::erase(unexposed_, feeder);
        ++signs_of_life_;
    }
    moved_.notify_all();
    if (closing_)
        return;
    for (Branch* branch : unlinked)
        for (GstElement* element : {branch->input, branch->sink.get()})
            if (element != nullptr && GST_OBJECT_PARENT(element) != nullptr) {
                gst_element_set_state(element, GST_STATE_NULL);
                gst_bin_remove(GST_BIN(pipeline_.get()), element);
            }
}

void GstMediaSource::push(Event event)
{
    {
        std::lock_guard lock(mutex_);
        if (GST_MESSAGE_TYPE(event.message.get()) == GST_MESSAGE_ERROR)
            errors_seen_.push_back(gst_message_get_seqnum(event.message.get()));
        events_.push_back(std::move(event));
        ++signs_of_life_;
    }
    moved_.notify_all();
}

// A live source's appsink that already holds its limit has just dropped its oldest sample to
// take this one. Should the reader pull one in between, the drop shows later as a sample
// announced that is no longer there (deliver). Either way the queue of events stays bounded.
void GstMediaSource::announce(Branch* branch)
{
    {
        std::lock_guard lock(mutex_);
        branch->delivered = true;
        if (live_ && branch->queued >= queue_limit(branch->type, true)) {
            count_dropped(branch);
        } else {
            ++branch->queued;
            events_.push_back(Event{branch, nullptr});
        }
        ++signs_of_life_;
    }
    moved_.notify_all();
}

// Called locked.
void GstMediaSource::count_dropped(Branch* branch)
{
    ++branch->dropped;
    ++branch->dropped_unsaid;
    if (branch == video_)
        ++frames_lost_;
}

void GstMediaSource::end(Branch* branch)
{
    {
        std::lock_guard lock(mutex_);
        branch->ended = true;
        ++signs_of_life_;
    }
    moved_.notify_all();
}

// Every message goes to the reading thread's queue, in order with the samples. A sync handler
// that drops a message owns it: the queue takes it over.
GstBusSyncReply GstMediaSource::on_message(GstBus* /*bus*/, GstMessage* message, gpointer source) noexcept
{
    static_cast<GstMediaSource*>(source)->push(Event{nullptr, GstMessagePtr(message)});
    return GST_BUS_DROP;
}

// Every element of a decoding bin posts through a relay that holds on to its errors; one that
// the bin did not pass on, yet whose element it kept, ends the source (swallowed_error).
void GstMediaSource::relay(GstBin* /*pipeline*/, GstBin* bin, GstElement* element, GstMediaSource* source) noexcept
{
    bound_decoding_queues(element); // also those of a URI's decoding bin
    relay_decoding_bin_errors(bin, element, [link = source->link_](GstMessage* error) {
        std::lock_guard lock(link->mutex);
        if (link->source != nullptr)
            link->source->hold_error(error);
    });
}

void GstMediaSource::hold_error(GstMessage* error)
{
    {
        std::lock_guard lock(mutex_);
        if (std::find(errors_seen_.begin(), errors_seen_.end(), gst_message_get_seqnum(error)) != errors_seen_.end())
            return;
        held_errors_.emplace_back(gst_message_ref(error));
    }
    moved_.notify_all();
}

// ---------------------------------------------------------------- reading

// A held error whose element the decoding bin kept: in a bin, its state no longer locked for
// the trial. The errors of elements that the bin gave up on are let go. Called locked.
std::optional<MediaError> GstMediaSource::swallowed_error()
{
    for (auto held = held_errors_.begin(); held != held_errors_.end();) {
        switch (held_error_fate(held->get())) {
        case HeldErrorFate::LetGo: held = held_errors_.erase(held); break;
        case HeldErrorFate::Undecided: ++held; break;
        case HeldErrorFate::Kept:
            GST_CAT_INFO_OBJECT(skelv_analyzer_debug, GST_MESSAGE_SRC(held->get()),
                "the decoding bin swallowed this element's error");
            return error_of(held->get());
        }
    }
    return std::nullopt;
}

// Waits for a sign of life, with nothing else to do, at most until `until_us` (monotonic);
// fails the source when a decoding bin swallowed an error, and without `until_us` when it
// stalled. Called locked.
void GstMediaSource::await(std::unique_lock<std::mutex>& lock, StallWatch& watch, uint64_t* seen,
                           std::optional<gint64> until_us)
{
    if (signs_of_life_ != *seen) {
        *seen = signs_of_life_;
        watch.moved();
    } else if (!until_us && watch.stalled()) {
        fail_stalled();
        return;
    }
    if (std::optional<MediaError> swallowed = swallowed_error()) {
        fail(std::move(*swallowed));
        return;
    }
    // The bin decides about a held error's element without a word: look again soon.
    const std::chrono::microseconds left(until_us ? std::max<gint64>(0, *until_us - g_get_monotonic_time())
                                                  : watch.left_us());
    moved_.wait_for(lock, held_errors_.empty() ? left : std::min<std::chrono::microseconds>(left, kHeldErrorRecheck));
}

// Open once every decoding bin has exposed its pads and every reading branch has a sample or
// has ended; or when one branch is full, since nothing more arrives until the reader pulls.
bool GstMediaSource::open_ready() const
{
    if (!unexposed_.empty())
        return false;
    bool all = true, full = false;
    for (const std::unique_ptr<Branch>& branch : branches_) {
        if (!branch->sink)
            continue;
        all = all && (branch->delivered || branch->ended);
        full = full || branch->queued >= queue_limit(branch->type, live_);
    }
    return all || full;
}

// Waits for the open, taking in the messages meanwhile; the samples stay queued for next().
bool GstMediaSource::wait_until_open(MediaError* error)
{
    StallWatch watch(stall_limit_);
    std::unique_lock lock(mutex_);
    uint64_t seen = signs_of_life_;
    for (;;) {
        std::vector<GstMessagePtr> messages;
        for (auto event = events_.begin(); event != events_.end();)
            if (event->message) {
                messages.push_back(std::move(event->message));
                event = events_.erase(event);
            } else {
                ++event;
            }
        lock.unlock();
        for (const GstMessagePtr& message : messages)
            take_message(message.get());
        if (failure_) {
            *error = *failure_;
            return false;
        }
        lock.lock();
        if (ended_ || open_ready())
            return true;
        await(lock, watch, &seen);
    }
}

void GstMediaSource::take_message(GstMessage* message)
{
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR:
        gst_debug_bin_to_dot_file(GST_BIN(pipeline_.get()), GST_DEBUG_GRAPH_SHOW_ALL, "source_error");
        fail(error_of(message));
        break;
    case GST_MESSAGE_WARNING: add_warning(warning_text(message)); break;
    case GST_MESSAGE_ELEMENT:
        if (std::optional<std::string> warning = missing_decoder_warning(message))
            add_warning(std::move(*warning));
        break;
    case GST_MESSAGE_EOS: ended_ = ended_ || GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline_.get()); break;
    default: break;
    }
}

void GstMediaSource::fail(MediaError error)
{
    if (!failure_)
        failure_ = std::move(error);
}

void GstMediaSource::fail_stalled()
{
    gst_debug_bin_to_dot_file(GST_BIN(pipeline_.get()), GST_DEBUG_GRAPH_SHOW_ALL, "source_stall");
    fail({stall_message(stall_limit_), ""});
}

// Puts the streams announced while opening in the order of their containers: by stream id
// among those of one decoding bin, which announces undecodable streams first and exposes the
// others video first; the bins and raw launch pads in the order they were built, which is the
// order of the launch descriptions and of their pads.
void GstMediaSource::order_streams()
{
    std::lock_guard build(build_mutex_); // no pad half taken
    std::lock_guard lock(mutex_);
    std::vector<size_t> order(announced_.size());
    for (size_t i = 0; i < announced_.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Announced &first = announced_[a], &second = announced_[b];
        return first.built != second.built ? first.built < second.built : first.id < second.id;
    });
    std::vector<Announced> sorted;
    std::vector<int> index_of(announced_.size());
    for (size_t position = 0; position < order.size(); ++position) {
        index_of[order[position]] = int(position);
        sorted.push_back(std::move(announced_[order[position]]));
        sorted.back().stream.index = int(position);
    }
    announced_ = std::move(sorted);
    for (const std::unique_ptr<Branch>& branch : branches_)
        if (branch->stream >= 0)
            branch->stream = index_of[size_t(branch->stream)];
}

// Describes the streams announced since the last call and adds them to the list.
void GstMediaSource::adopt_streams()
{
    std::vector<std::pair<MediaStream, GstPadPtr>> added;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = streams_.size(); i < announced_.size(); ++i)
            added.emplace_back(announced_[i].stream, GstPadPtr(GST_PAD(gst_object_ref(announced_[i].origin.get()))));
    }
    for (auto& [stream, origin] : added) {
        describe(&stream, origin.get());
        GST_CAT_INFO(skelv_analyzer_debug, "stream %d: %s, decoder %s, language %s, %s", stream.index,
                     stream.format.c_str(), stream.decoder.c_str(), stream.language.c_str(),
                     stream.read ? "read" : "not read");
        streams_.push_back(std::move(stream));
    }
}

// A live source that reconnects hands out what it had before it reports an error.
MediaItem GstMediaSource::next(MediaFrame* frame, MediaSound* sound, MediaError* error)
{
    release_held();
    StallWatch watch(stall_limit_);
    const gint64 idle_at_us = g_get_monotonic_time() + options_.idle_ns / 1000;
    std::unique_lock lock(mutex_);
    uint64_t seen = signs_of_life_;
    for (;;) {
        if (reopen_at_us_) {
            lock.unlock();
            if (const std::optional<MediaItem> item = await_reopen(idle_at_us, error))
                return *item;
            lock.lock();
            continue;
        }
        if (failure_ && (!reconnects() || events_.empty())) {
            lock.unlock();
            if (reconnects())
                return interrupt(*failure_, error);
            *error = *failure_;
            return MediaItem::Failed;
        }
        if (!events_.empty()) {
            Event event = std::move(events_.front());
            events_.pop_front();
            if (event.sample_of != nullptr)
                --event.sample_of->queued;
            const bool new_streams = streams_.size() < announced_.size();
            lock.unlock();
            watch.moved();
            if (new_streams)
                adopt_streams();
            if (event.message) {
                take_message(event.message.get());
            } else if (const std::optional<MediaItem> item = deliver(event.sample_of, frame, sound);
                       item && *item != MediaItem::Failed) {
                backoff_us_ = kFirstBackOffUs;
                return *item;
            }
            lock.lock();
            continue;
        }
        if (ended_) {
            lock.unlock();
            return interrupted_by_end() ? interrupt({"The stream ended", request_.location}, error) : MediaItem::End;
        }
        if (live_ && g_get_monotonic_time() >= idle_at_us)
            return MediaItem::Idle;
        await(lock, watch, &seen, live_ ? std::optional(idle_at_us) : std::nullopt);
    }
}

// ---------------------------------------------------------------- losing and regaining a live input

// A stream sent over a network ends when its sender goes away, and may come back; a playlist
// that ends, or a capture that runs out, has ended for good.
bool GstMediaSource::interrupted_by_end() const
{
    return reconnects() && clock_live_ && is_network_source(request_);
}

// Stops the pipeline and reopens it after the back-off, which doubles with every attempt
// until one delivers.
MediaItem GstMediaSource::interrupt(MediaError why, MediaError* error)
{
    GST_CAT_INFO(skelv_analyzer_debug, "live input lost (%s), reopening in %g s", why.message.c_str(),
                 double(backoff_us_) / G_USEC_PER_SEC);
    stop_input();
    reopen_at_us_ = g_get_monotonic_time() + backoff_us_;
    backoff_us_ = std::min(2 * backoff_us_, kLongestBackOffUs);
    *error = std::move(why);
    return MediaItem::Interrupted;
}

// Idle while the back-off lasts, then reopens; none when the reopened source is to be read.
std::optional<MediaItem> GstMediaSource::await_reopen(gint64 idle_at_us, MediaError* error)
{
    const gint64 now = g_get_monotonic_time();
    if (now < *reopen_at_us_) {
        if (now >= idle_at_us)
            return MediaItem::Idle;
        g_usleep(gulong(std::min(*reopen_at_us_, idle_at_us) - now));
        return std::nullopt;
    }
    reopen_at_us_.reset();
    MediaError failure;
    if (!reopen(&failure))
        return interrupt(std::move(failure), error);
    return std::nullopt;
}

// Everything of the lost run goes: its elements, branches, samples and messages. The streams
// stay listed.
void GstMediaSource::stop_input()
{
    base_time_ = gst_element_get_base_time(pipeline_.get());
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    {
        std::lock_guard build(build_mutex_);
        for (const GstElementPtr& child : collected<GstElement>(gst_bin_iterate_elements(GST_BIN(pipeline_.get()))))
            gst_bin_remove(GST_BIN(pipeline_.get()), child.get());
    }
    std::lock_guard lock(mutex_);
    events_.clear();
    held_errors_.clear();
    errors_seen_.clear();
    unexposed_.clear();
    built_at_.clear();
    video_ = nullptr;
    branches_.clear();
    reclaimed_.assign(announced_.size(), false);
    ended_ = false;
    failure_.reset();
}

// The same source again, on the same clock from the same base time: a source that timestamps
// as it captures goes on where the lost one would have been; one that starts again at 0 is
// moved to the time it starts at.
bool GstMediaSource::reopen(MediaError* error)
{
    gst_element_set_start_time(pipeline_.get(), GST_CLOCK_TIME_NONE);
    gst_element_set_base_time(pipeline_.get(), base_time_);
    if (!build(request_, error)) {
        stop_input();
        return false;
    }
    play();
    time_offset_ns_ = 0;
    if (!clock_live_) {
        GstObjectPtr<GstClock> clock(gst_pipeline_get_clock(GST_PIPELINE(pipeline_.get())));
        time_offset_ns_ = int64_t(gst_clock_get_time(clock.get()) - base_time_);
    }
    GST_CAT_INFO(skelv_analyzer_debug, "live input reopened, times moved by %" G_GINT64_FORMAT " ns",
                 time_offset_ns_);
    return true;
}

// A demuxer may tag a stream's language after announcing it; by its first sample the tags
// have gone by.
void GstMediaSource::learn_language(int stream)
{
    if (stream < 0 || size_t(stream) >= streams_.size() || !streams_[size_t(stream)].language.empty())
        return;
    GstPadPtr origin;
    {
        std::lock_guard lock(mutex_);
        origin.reset(GST_PAD(gst_object_ref(announced_[size_t(stream)].origin.get())));
    }
    streams_[size_t(stream)].language = language_of(origin.get());
}

// Pulls the sample a branch announced: Frame or Sound, Failed when it cannot be read, none
// when the branch was pruned meanwhile or a live source's appsink dropped it.
std::optional<MediaItem> GstMediaSource::deliver(Branch* branch, MediaFrame* frame, MediaSound* sound)
{
    GstSamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(branch->sink.get()), 0));
    if (!sample && live_) {
        std::lock_guard lock(mutex_);
        count_dropped(branch);
    }
    if (!sample || gst_sample_get_buffer(sample.get()) == nullptr)
        return std::nullopt;
    if (const GstSegment* segment = gst_sample_get_segment(sample.get()))
        gst_segment_copy_into(segment, &branch->segment);
    note_caps(branch, gst_sample_get_caps(sample.get()));
    if (!branch->handed_out)
        learn_language(branch->stream);
    branch->handed_out = true;
    const bool video = branch->type == StreamType::Video;
    if (video ? deliver_frame(branch, sample.get(), frame) : deliver_sound(branch, sample.get(), sound)) {
        if (!video && live_)
            warn_dropped_sound(branch);
        held_ = std::move(sample);
        return video ? MediaItem::Frame : MediaItem::Sound;
    }
    release_held();
    fail({std::string(video ? "Video frame " + std::to_string(frames_ + 1)
                            : "A sound buffer of stream " + std::to_string(branch->stream)) +
              " could not be mapped for reading",
          ""});
    return MediaItem::Failed;
}

// Keeps the sample's caps parsed, parsing them again only when they change.
void GstMediaSource::note_caps(Branch* branch, GstCaps* caps)
{
    if (caps == branch->caps.get())
        return;
    branch->caps.reset(caps != nullptr ? gst_caps_ref(caps) : nullptr);
    branch->caps_parsed = caps != nullptr && (branch->type == StreamType::Video
                                                  ? gst_video_info_from_caps(&branch->video, caps)
                                                  : gst_audio_info_from_caps(&branch->audio, caps));
}

// A view of a mapped frame; false for a layout the readers do not take.
bool yuv_view_of(const GstVideoFrame* frame, YuvFrameView* view)
{
    switch (GST_VIDEO_FRAME_FORMAT(frame)) {
    case GST_VIDEO_FORMAT_I420:
    case GST_VIDEO_FORMAT_YV12:
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
    case GST_VIDEO_FORMAT_Y42B:
    case GST_VIDEO_FORMAT_Y444: break;
    default: return false;
    }
    const GstVideoFormatInfo* format = frame->info.finfo;
    view->width = GST_VIDEO_FRAME_WIDTH(frame);
    view->height = GST_VIDEO_FRAME_HEIGHT(frame);
    view->y = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_Y));
    view->y_stride = GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_Y);
    view->u = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_U));
    view->v = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_V));
    view->uv_stride = GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_U);
    view->uv_step = GST_VIDEO_FRAME_COMP_PSTRIDE(frame, GST_VIDEO_COMP_U);
    view->shift_x = GST_VIDEO_FORMAT_INFO_W_SUB(format, GST_VIDEO_COMP_U);
    view->shift_y = GST_VIDEO_FORMAT_INFO_H_SUB(format, GST_VIDEO_COMP_U);
    return view->uv_stride == GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_V);
}

int64_t time_or_none(GstClockTime time)
{
    return GST_CLOCK_TIME_IS_VALID(time) ? int64_t(time) : -1;
}

// A buffer's time: its running time, or after a seek its stream time, which the seek leaves
// where it was; -1 without a timestamp.
int64_t GstMediaSource::time_of(const Branch* branch, GstClockTime timestamp) const
{
    const GstClockTime running = running_time_within(&branch->segment, timestamp);
    if (!GST_CLOCK_TIME_IS_VALID(running))
        return -1;
    if (!sought_)
        return int64_t(running) + time_offset_ns_;
    const GstClockTime stream =
        gst_segment_to_stream_time(&branch->segment, GST_FORMAT_TIME, std::max(timestamp, branch->segment.start));
    return GST_CLOCK_TIME_IS_VALID(stream) ? int64_t(stream) - branch->stream_less_running_ns : -1;
}

bool GstMediaSource::deliver_frame(Branch* branch, GstSample* sample, MediaFrame* frame)
{
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    frame_mapped_ = branch->caps_parsed && gst_video_frame_map(&held_frame_, &branch->video, buffer, GST_MAP_READ);
    if (!frame_mapped_ || !yuv_view_of(&held_frame_, &frame->view))
        return false;
    const int64_t time = time_of(branch, GST_BUFFER_PTS(buffer));
    if (time >= 0) {
        last_frame_ns_ = time;
    } else if (frames_ > 0) {
        const int fps_n = GST_VIDEO_INFO_FPS_N(&branch->video), fps_d = GST_VIDEO_INFO_FPS_D(&branch->video);
        const int64_t period = GST_BUFFER_DURATION_IS_VALID(buffer) ? int64_t(GST_BUFFER_DURATION(buffer))
                               : fps_n > 0 ? int64_t(gst_util_uint64_scale(GST_SECOND, fps_d, fps_n))
                                           : 0;
        last_frame_ns_ += period;
    }
    frame->time_ns = last_frame_ns_;
    frame->pts_ns = time_or_none(GST_BUFFER_PTS(buffer));
    frame->duration_ns = time_or_none(GST_BUFFER_DURATION(buffer));
    frame->index = frames_++;
    std::lock_guard lock(mutex_);
    // A full queue drops its oldest: the next frame handed out is the first after the gap.
    frame->lost_before = std::exchange(branch->dropped_unsaid, 0);
    return true;
}

bool GstMediaSource::deliver_sound(Branch* branch, GstSample* sample, MediaSound* sound)
{
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    const int channels = GST_AUDIO_INFO_CHANNELS(&branch->audio);
    sound_mapped_ = branch->caps_parsed && channels > 0 && gst_buffer_map(buffer, &held_sound_, GST_MAP_READ);
    if (!sound_mapped_)
        return false;
    sound->stream = branch->stream;
    // GStreamer allocates buffers aligned for any sample type.
    sound->samples = reinterpret_cast<const float*>(held_sound_.data);
    sound->frames = held_sound_.size / (sizeof(float) * size_t(channels));
    sound->rate = GST_AUDIO_INFO_RATE(&branch->audio);
    sound->channels = channels;
    sound->time_ns = time_of(branch, GST_BUFFER_PTS(buffer));
    sound->pts_ns = time_or_none(GST_BUFFER_PTS(buffer));
    sound->duration_ns = time_or_none(GST_BUFFER_DURATION(buffer));
    return true;
}

void GstMediaSource::warn_dropped_sound(Branch* branch)
{
    {
        std::lock_guard lock(mutex_);
        if (branch->dropped == 0)
            return;
    }
    add_warning("Sound of stream " + std::to_string(branch->stream) +
                " was dropped while the reader fell behind the live source");
}

void GstMediaSource::release_held()
{
    if (frame_mapped_)
        gst_video_frame_unmap(&held_frame_);
    if (sound_mapped_)
        gst_buffer_unmap(gst_sample_get_buffer(held_.get()), &held_sound_);
    frame_mapped_ = sound_mapped_ = false;
    held_.reset();
}

void GstMediaSource::add_warning(std::string text)
{
    if (warned_.insert(text).second)
        warnings_.push_back(std::move(text));
}

std::vector<std::string> GstMediaSource::take_warnings()
{
    std::vector<std::string> taken;
    taken.swap(warnings_);
    return taken;
}

bool GstMediaSource::can_seek() const
{
    GstQueryPtr query(gst_query_new_seeking(GST_FORMAT_TIME));
    gboolean seekable = FALSE;
    if (gst_element_query(pipeline_.get(), query.get()))
        gst_query_parse_seeking(query.get(), nullptr, &seekable, nullptr, nullptr);
    return seekable != FALSE;
}

// The samples announced before the seek were flushed: their events pull nothing or a later
// sample, which its own event would have pulled. An end seen before is no longer one.
bool GstMediaSource::seek(int64_t time_ns)
{
    if (live_ || fd_ >= 0 || !can_seek())
        return false;
    release_held();
    const auto flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_SNAP_BEFORE);
    // The running time the first segment gave a buffer is its stream time less this.
    if (!sought_)
        for (const std::unique_ptr<Branch>& branch : branches_)
            if (branch->segment.format == GST_FORMAT_TIME)
                branch->stream_less_running_ns = int64_t(branch->segment.time) - int64_t(branch->segment.base);
    const int64_t position = time_ns + (video_ != nullptr ? video_->stream_less_running_ns : 0);
    // No stop: a decoder would clip the last buffer to it, where a reading from the start does not.
    if (!gst_element_seek(pipeline_.get(), 1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                          GstClockTime(std::max<int64_t>(position, 0)), GST_SEEK_TYPE_SET, GST_CLOCK_TIME_NONE))
        return false;
    sought_ = true;
    std::lock_guard lock(mutex_);
    ended_ = false;
    for (auto event = events_.begin(); event != events_.end();)
        event = event->message && GST_MESSAGE_TYPE(event->message.get()) == GST_MESSAGE_EOS ? events_.erase(event)
                                                                                            : std::next(event);
    for (const std::unique_ptr<Branch>& branch : branches_)
        branch->ended = false;
    return true;
}

// Waits for the network clock to agree with its server before anything is mapped on it.
bool GstMediaSource::follow_network_clock(const std::string& address, MediaError* error)
{
    constexpr GstClockTime kSyncTimeout = 10 * GST_SECOND;
    std::string host;
    int port = 0;
    split_clock_address(address, &host, &port);
    network_clock_.reset(gst_net_client_clock_new("skelv_network_clock", host.c_str(), port, 0));
    network_clock_bus_.reset(gst_bus_new());
    g_object_set(network_clock_.get(), "bus", network_clock_bus_.get(), nullptr);
    if (!gst_clock_wait_for_sync(network_clock_.get(), kSyncTimeout)) {
        *error = {"The network clock at " + address + " did not answer within 10 s", ""};
        return false;
    }
    return true;
}

// The exchanges the network clock reported since the last call, the latest kept. Its own
// calibration is not used: it fits a rate to its first few exchanges and then polls once a
// second, and stays off by parts in ten thousand for minutes.
void GstMediaSource::take_clock_observations() const
{
    constexpr size_t kKept = 15;
    while (GstMessagePtr message{gst_bus_pop_filtered(network_clock_bus_.get(), GST_MESSAGE_ELEMENT)}) {
        const GstStructure* statistics = gst_message_get_structure(message.get());
        GstClockTime local = 0, remote = 0, round_trip = 0;
        if (statistics == nullptr || !gst_structure_get_clock_time(statistics, "local", &local) ||
            !gst_structure_get_clock_time(statistics, "remote", &remote) ||
            !gst_structure_get_clock_time(statistics, "rtt", &round_trip))
            continue;
        clock_observations_.push_back({int64_t(remote) - int64_t(local), int64_t(round_trip)});
        if (clock_observations_.size() > kKept)
            clock_observations_.pop_front();
    }
}

int64_t median_of(std::vector<int64_t> values)
{
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The pipeline stays on this machine's clock, whose steady pace the streams' own clock
// recovery needs; the network clock's exchanges map its times: by the median offset of the
// latest, which a slow exchange does not move.
std::optional<ClockMapping> GstMediaSource::network_mapping() const
{
    if (!network_clock_)
        return std::nullopt;
    take_clock_observations();
    if (clock_observations_.empty())
        return std::nullopt;
    std::vector<int64_t> offsets;
    for (const ClockObservation& o : clock_observations_)
        offsets.push_back(o.offset_ns);
    return ClockMapping{0, median_of(offsets), 1, 1, network_error_ns()};
}

// Half the median round trip: an offset measured in the middle of an exchange is off by at
// most that, however unequal the two ways.
int64_t GstMediaSource::network_error_ns() const
{
    take_clock_observations();
    if (clock_observations_.empty())
        return -1;
    std::vector<int64_t> round_trips;
    for (const ClockObservation& o : clock_observations_)
        round_trips.push_back(o.round_trip_ns);
    return median_of(round_trips) / 2;
}

std::optional<ClockIdentity> GstMediaSource::arrival_clock() const
{
    if (!clock_live_)
        return std::nullopt;
    GstObjectPtr<GstClock> clock(gst_pipeline_get_clock(GST_PIPELINE(pipeline_.get())));
    ClockIdentity identity = clock_identity(clock.get(), gst_element_get_base_time(pipeline_.get()));
    if (network_clock_) {
        identity.network = request_.network_clock;
        identity.error_ns = network_error_ns();
    }
    return identity;
}

int64_t GstMediaSource::frames_lost() const
{
    std::lock_guard lock(mutex_);
    return frames_lost_;
}

std::optional<int64_t> GstMediaSource::duration_ns() const
{
    if (live_)
        return std::nullopt;
    gint64 duration = 0;
    if (gst_element_query_duration(pipeline_.get(), GST_FORMAT_TIME, &duration) && duration > 0)
        return duration;
    return std::nullopt;
}

double GstMediaSource::declared_framerate() const
{
    GstElement* sink = nullptr;
    {
        std::lock_guard lock(mutex_);
        sink = video_ != nullptr ? video_->sink.get() : nullptr;
    }
    if (sink == nullptr)
        return 0;
    GstPadPtr pad(gst_element_get_static_pad(sink, "sink"));
    GstCapsPtr caps(gst_pad_get_current_caps(pad.get()));
    GstVideoInfo info;
    if (!caps || !gst_video_info_from_caps(&info, caps.get()) || GST_VIDEO_INFO_FPS_N(&info) <= 0 ||
        (GST_VIDEO_INFO_FLAGS(&info) & GST_VIDEO_FLAG_VARIABLE_FPS))
        return 0;
    return double(GST_VIDEO_INFO_FPS_N(&info)) / GST_VIDEO_INFO_FPS_D(&info);
}

} // namespace

std::unique_ptr<MediaSource> MediaSource::open(const SourceRequest& request, const MediaSourceOptions& options,
                                               MediaError* error)
{
    *error = {};
    auto source = std::make_unique<GstMediaSource>(options);
    if (!source->start(request, error))
        return nullptr;
    return source;
}

} // namespace skelv
