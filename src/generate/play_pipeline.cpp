#include "generate/play_pipeline.h"

#include "generate/clip_pipeline.h"
#include "generate/codecs.h"
#include "generate/datagram_lines.h"
#include "media/gst_ptr.h"
#include "media/media_source.h"
#include "media/pipeline_support.h"

#include <gst/app/gstappsrc.h>
#include <gst/net/gstnet.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>

namespace skelv {

namespace {

using nlohmann::json;

// Each buffer is pushed this long before the sinks are due to render it: enough for the
// encoders, while the queues stay a fraction of a second long.
constexpr GstClockTime kLead = 200 * GST_MSECOND;
// The first buffer of each stream leaves this long before it is due: the encoders set up on
// it (x264enc at 1080p takes a few hundred milliseconds), and the next come with kLead.
constexpr GstClockTime kStartLead = 700 * GST_MSECOND;
// A source whose queue holds this much is fed faster than its pipeline takes (a machine that
// cannot keep up): what is due then is left out and counted late, rather than queued without end.
constexpr GstClockTime kMostQueued = 2 * GST_SECOND;
constexpr GstClockTime kPoll = 20 * GST_MSECOND;          // longest sleep between checks for a stop
constexpr GstClockTime kFinishTimeout = 10 * GST_SECOND;   // from the end of stream to the sinks' last buffer
constexpr int kAudioChunksPerSecond = 50;

std::string property_text(const ElementProperties& properties)
{
    std::string text;
    for (const auto& [name, value] : properties)
        text += " " + name + "=" + value;
    return text;
}

bool parse_udp(const std::string& target, std::string* host, int* port)
{
    const std::string prefix = "udp://";
    const size_t colon = target.rfind(':');
    if (target.rfind(prefix, 0) != 0 || colon <= prefix.size())
        return false;
    *host = target.substr(prefix.size(), colon - prefix.size());
    char* end = nullptr;
    const long value = strtol(target.c_str() + colon + 1, &end, 10);
    *port = int(value);
    const bool host_ok =
        std::all_of(host->begin(), host->end(), [](char c) { return isalnum(c) || c == '.' || c == '-'; });
    return host_ok && *end == '\0' && end != target.c_str() + colon + 1 && value > 0 && value < 65536;
}

// srt://HOST:PORT calls a listening receiver; srt://:PORT listens for one to call. The URI goes
// into a launch description, so it keeps to the characters such a URI needs: no quote.
bool parse_srt(const std::string& target, std::string* uri)
{
    const std::string prefix = "srt://";
    const bool plain = std::all_of(target.begin(), target.end(),
        [](char c) { return isalnum(c) || strchr(".-:/?&=_", c) != nullptr; });
    if (target.rfind(prefix, 0) != 0 || target.size() == prefix.size() || !plain)
        return false;
    const bool listener = target[prefix.size()] == ':' && target.find('?') == std::string::npos;
    *uri = listener ? target + "?mode=listener" : target;
    return true;
}

// The sidecar: one JSON object a line, each flushed whole, from the sources' threads; and, if
// asked, each line sent to another machine too, the first (the play's) again every second for
// a receiver that starts later.
class Sidecar {
public:
    ~Sidecar()
    {
        if (file_ != nullptr)
            fclose(file_);
    }

    bool open(const std::string& path, const std::string& copy_address, std::string* error)
    {
        if (!copy_address.empty() && !copy_.open(copy_address, error))
            return false;
        file_ = fopen(path.c_str(), "w");
        if (file_ == nullptr)
            *error = "cannot write " + path + ": " + strerror(errno);
        return file_ != nullptr;
    }

    void write(const json& line)
    {
        const std::string text = line.dump() + "\n";
        std::lock_guard<std::mutex> lock(mutex_);
        fwrite(text.data(), 1, text.size(), file_);
        fflush(file_);
        if (copy_.is_open())
            send_copy(text);
    }

    bool close(std::string* error)
    {
        const bool written = fclose(file_) == 0;
        file_ = nullptr;
        if (!written)
            *error = std::string("cannot finish the sidecar: ") + strerror(errno);
        return written;
    }

private:
    void send_copy(const std::string& text)
    {
        const auto now = std::chrono::steady_clock::now();
        if (first_line_.empty()) {
            first_line_ = text;
            first_sent_ = now;
        } else if (now - first_sent_ >= std::chrono::seconds(1)) {
            copy_.send(first_line_);
            first_sent_ = now;
        }
        copy_.send(text);
    }

    FILE* file_ = nullptr;
    std::mutex mutex_;
    DatagramLines copy_;
    std::string first_line_;
    std::chrono::steady_clock::time_point first_sent_;
};

const char* span_name(Span span)
{
    return span == Span::Header ? "header" : span == Span::Locator ? "locator" : "content";
}

json header_line(const PlayTimeline& timeline, const PlayRequest& request, GstClock* clock, GstClockTime base_time)
{
    const ClipParams& p = timeline.params();
    const ClockIdentity identity = clock_identity(clock, base_time);
    return {{"type", "play"}, {"target", request.target}, {"width", p.width}, {"height", p.height},
        {"fps", std::to_string(p.fps.num) + "/" + std::to_string(p.fps.den)}, {"audio_rate", p.audio_rate},
        {"header", p.header}, {"locator", p.locator}, {"flash_period", p.flash_period},
        {"sync_half_period", p.sync_half_period}, {"frameid_bits", p.frameid_bits}, {"beep_ms", p.beep_ms},
        {"audio_delay_ms", p.audio_delay_ms}, {"background", p.background == 0 ? "black" : "grey"},
        {"duration_s", request.seconds > 0 ? json(request.seconds) : json(nullptr)},
        {"locator_every_frames", timeline.reminder_every() > 0 ? json(timeline.reminder_every()) : json(nullptr)},
        {"clock", {{"name", identity.name}, {"type", identity.type}, {"boot_id", identity.boot_id},
                      {"base_time_ns", base_time},
                      {"network", request.clock_address.empty() ? json(nullptr) : json(request.clock_address)}}},
        {"written", "as each buffer leaves its source"}};
}

struct ProbeContext {
    const PlayTimeline* timeline;
    Sidecar* sidecar;
    GstClockTime base_time = 0;
};

// The buffer's offset carries its frame index, or its first and end samples.
GstPadProbeReturn on_frame(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    const auto* context = static_cast<ProbeContext*>(data);
    const PlayFrame frame = context->timeline->frame(int64_t(GST_BUFFER_OFFSET(GST_PAD_PROBE_INFO_BUFFER(info))));
    context->sidecar->write({{"type", "frame"}, {"frame", frame.index}, {"span", span_name(frame.span)},
        {"content_offset", frame.content_offset >= 0 ? json(frame.content_offset) : json(nullptr)},
        {"flash", frame.flash}, {"running_ns", frame.time_ns}, {"clock_ns", context->base_time + frame.time_ns}});
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_sound(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    const auto* context = static_cast<ProbeContext*>(data);
    const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const int64_t end = int64_t(GST_BUFFER_OFFSET_END(buffer));
    for (int64_t index = context->timeline->first_beep_from(int64_t(GST_BUFFER_OFFSET(buffer)));; index++) {
        const PlayBeep beep = context->timeline->beep(index);
        if (beep.start_sample >= end)
            break;
        context->sidecar->write({{"type", "beep"}, {"beep", beep.index}, {"flash_offset", beep.flash_offset},
            {"sample", beep.start_sample}, {"running_ns", beep.time_ns},
            {"clock_ns", context->base_time + beep.time_ns}});
    }
    return GST_PAD_PROBE_OK;
}

// Buffers dropped for lateness, from the QoS messages of the pipeline's elements: each
// element's latest count of its own (a sink's too-late buffers, a converter's skipped ones),
// or one for each message where it counts in another unit than buffers; and those the sources
// left out, their queues full.
class LateCount {
public:
    void add(GstMessage* qos)
    {
        GstFormat format = GST_FORMAT_UNDEFINED;
        guint64 processed = 0, dropped = 0;
        gst_message_parse_qos_stats(qos, &format, &processed, &dropped);
        uint64_t& count = by_element_[GST_MESSAGE_SRC(qos)];
        count = format == GST_FORMAT_BUFFERS && dropped != guint64(-1) ? std::max<uint64_t>(count, dropped) : count + 1;
    }

    // A buffer its source left out, its queue full.
    void left_out() { left_out_++; }

    uint64_t total() const
    {
        uint64_t sum = left_out_;
        for (const auto& [element, count] : by_element_)
            sum += count;
        return sum;
    }

private:
    std::map<const GstObject*, uint64_t> by_element_; ///< the pipeline holds the elements
    uint64_t left_out_ = 0;
};

class Player {
public:
    Player(const PlayTimeline& timeline, const PlayRequest& request)
        : timeline_(timeline)
        , request_(request)
        , pipeline_(gst_adopt_sink(gst_pipeline_new("skelv_play")))
        , bus_(gst_element_get_bus(pipeline_.get()))
        , clock_(request.clock != nullptr ? GST_CLOCK(gst_object_ref(request.clock)) : gst_system_clock_obtain())
        , context_{&timeline, &sidecar_}
    {
        gst_pipeline_use_clock(GST_PIPELINE(pipeline_.get()), clock_.get());
        const uint64_t end_ns = request.seconds > 0 ? uint64_t(request.seconds * 1e9) : 0;
        frames_end_ = end_ns ? timeline.frames_before(end_ns) : std::numeric_limits<int64_t>::max();
        samples_end_ = end_ns ? timeline.samples_before(end_ns) : std::numeric_limits<int64_t>::max();
        if (!timeline.params().video)
            frames_end_ = 0;
        if (!timeline.params().audio)
            samples_end_ = 0;
    }

    ~Player() { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }

    uint64_t late() const { return late_.total(); }

    bool run(const volatile std::sig_atomic_t* stop, std::string* error)
    {
        if (!build(error) || !serve_clock(error) || !sidecar_.open(request_.sidecar, request_.sidecar_copy, error) ||
            !start(error))
            return false;
        sidecar_.write(header_line(timeline_, request_, clock_.get(), context_.base_time));
        if (!feed(stop, error))
            return false;
        const bool stopped = *stop != 0;
        if (!finish(error))
            return false;
        sidecar_.write({{"type", "end"}, {"frames", next_frame_}, {"samples", next_sample_}, {"late", late()},
            {"reason", stopped ? "signal" : "duration"}});
        return sidecar_.close(error);
    }

private:
    // appsrc → converter → the description's element `name`.
    bool link_source(GstElement* bin, bool video, std::string* error)
    {
        const char* name = video ? "video" : "audio";
        GstElementPtr target(gst_bin_get_by_name(GST_BIN(bin), name));
        if (!target) {
            *error = std::string("the pipeline has no element named ") + name;
            return false;
        }
        GstElement* source = gst_element_factory_make("appsrc", nullptr);
        GstElement* converter = gst_element_factory_make(video ? "videoconvert" : "audioconvert", nullptr);
        g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "min-latency", gint64(0), nullptr);
        const GstCapsPtr caps = video ? design_video_caps(timeline_.params()) : design_audio_caps(timeline_.params());
        gst_app_src_set_caps(GST_APP_SRC(source), caps.get());
        gst_bin_add_many(GST_BIN(pipeline_.get()), source, converter, nullptr);
        if (!gst_element_link(source, converter) || !gst_element_link(converter, target.get())) {
            *error = std::string("cannot link raw ") + (video ? "video" : "sound") + " to the element named " + name;
            return false;
        }
        GstPadPtr pad(gst_element_get_static_pad(source, "src"));
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, video ? on_frame : on_sound, &context_, nullptr);
        (video ? video_ : audio_) = GST_APP_SRC(source);
        return true;
    }

    bool build(std::string* error)
    {
        GError* raw = nullptr;
        GstElement* bin = gst_parse_bin_from_description(request_.description.c_str(), FALSE, &raw);
        GErrorPtr parse_error(raw);
        if (bin == nullptr || parse_error) {
            if (bin != nullptr)
                gst_object_unref(gst_object_ref_sink(bin));
            *error = "cannot use the pipeline " + request_.description + ": " +
                (parse_error ? parse_error->message : "no elements");
            return false;
        }
        gst_bin_add(GST_BIN(pipeline_.get()), bin);
        return (frames_end_ == 0 || link_source(bin, true, error)) &&
            (samples_end_ == 0 || link_source(bin, false, error));
    }

    // The pipeline's clock for receivers on other machines, as a network time provider.
    bool serve_clock(std::string* error)
    {
        if (request_.clock_address.empty())
            return true;
        std::string host;
        int port = 0;
        split_clock_address(request_.clock_address, &host, &port);
        clock_server_.reset(gst_net_time_provider_new(clock_.get(), host.empty() ? nullptr : host.c_str(), port));
        if (!clock_server_)
            *error = "cannot serve the clock on " + request_.clock_address;
        return bool(clock_server_);
    }

    bool start(std::string* error)
    {
        // Running time 0 comes kStartLead from now (from a base time of now, the sinks dropped
        // the first buffers late at 1080p). Live sources: the sinks complete their change to
        // PLAYING once the first buffers reach them.
        gst_element_set_start_time(pipeline_.get(), GST_CLOCK_TIME_NONE);
        gst_element_set_base_time(pipeline_.get(), gst_clock_get_time(clock_.get()) + kStartLead);
        if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            GstMessagePtr message(gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR));
            *error = message ? error_text(message.get()) : "the pipeline did not start";
            return false;
        }
        context_.base_time = gst_element_get_base_time(pipeline_.get());
        return true;
    }

    // Counts the QoS messages waiting on the bus; true with the text of an error among them.
    bool bus_error(std::string* error)
    {
        const auto types = GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_QOS);
        for (GstMessagePtr message; message.reset(gst_bus_pop_filtered(bus_.get(), types)), message;) {
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
                *error = error_text(message.get());
                return true;
            }
            late_.add(message.get());
        }
        return false;
    }

    // Sleeps until `running_ns` is kLead away (the start at once); false when stopped or on a
    // pipeline error.
    bool wait_for(uint64_t running_ns, const volatile std::sig_atomic_t* stop, std::string* error)
    {
        const GstClockTime due = running_ns == 0 ? 0 : context_.base_time + running_ns - kLead;
        for (GstClockTime now; (now = gst_clock_get_time(clock_.get())) < due;) {
            if (*stop || bus_error(error))
                return false;
            g_usleep(std::min(due - now, kPoll) / GST_USECOND);
        }
        return !*stop && !bus_error(error);
    }

    bool feed(const volatile std::sig_atomic_t* stop, std::string* error)
    {
        while (next_frame_ < frames_end_ || next_sample_ < samples_end_) {
            const uint64_t frame_ns = timeline_.frame(next_frame_).time_ns;
            const uint64_t sound_ns = timeline_.sample_time(next_sample_);
            const bool video = next_frame_ < frames_end_ && (next_sample_ >= samples_end_ || frame_ns <= sound_ns);
            if (!wait_for(video ? frame_ns : sound_ns, stop, error))
                return error->empty();
            GstAppSrc* source = video ? video_ : audio_;
            if (gst_app_src_get_current_level_time(source) >= kMostQueued) {
                leave_out(video);
                continue;
            }
            GstBuffer* buffer = video ? frame_buffer() : sound_buffer();
            if (gst_app_src_push_buffer(source, buffer) != GST_FLOW_OK) {
                if (!bus_error(error))
                    *error = "the pipeline stopped taking buffers";
                return false;
            }
        }
        return true;
    }

    void leave_out(bool video)
    {
        late_.left_out();
        if (video)
            next_frame_++;
        else
            next_sample_ += sound_chunk();
    }

    int64_t sound_chunk() const
    {
        return std::min<int64_t>(timeline_.params().audio_rate / kAudioChunksPerSecond, samples_end_ - next_sample_);
    }

    GstBuffer* frame_buffer()
    {
        const ClipParams& p = timeline_.params();
        const PlayFrame frame = timeline_.frame(next_frame_);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size_t(p.width) * p.height * 4, nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        timeline_.paint(next_frame_, map.data, p.width * 4);
        gst_buffer_unmap(buffer, &map);
        GST_BUFFER_PTS(buffer) = frame.time_ns;
        GST_BUFFER_DURATION(buffer) = frame.duration_ns;
        GST_BUFFER_OFFSET(buffer) = uint64_t(next_frame_++);
        return buffer;
    }

    GstBuffer* sound_buffer()
    {
        const int64_t count = sound_chunk();
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size_t(count) * sizeof(int16_t), nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        timeline_.fill_sound(next_sample_, reinterpret_cast<int16_t*>(map.data), count);
        gst_buffer_unmap(buffer, &map);
        GST_BUFFER_PTS(buffer) = timeline_.sample_time(next_sample_);
        GST_BUFFER_DURATION(buffer) = timeline_.sample_time(next_sample_ + count) - GST_BUFFER_PTS(buffer);
        GST_BUFFER_OFFSET(buffer) = uint64_t(next_sample_);
        GST_BUFFER_OFFSET_END(buffer) = uint64_t(next_sample_ += count);
        return buffer;
    }

    // Ends both streams and waits until the sinks have rendered them.
    bool finish(std::string* error)
    {
        for (GstAppSrc* source : {video_, audio_})
            if (source != nullptr)
                gst_app_src_end_of_stream(source);
        const auto types = GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_QOS);
        const gint64 deadline = g_get_monotonic_time() + gint64((kFinishTimeout + kLead) / GST_USECOND);
        GstMessagePtr message;
        for (gint64 left; (left = deadline - g_get_monotonic_time()) > 0;) {
            message.reset(gst_bus_timed_pop_filtered(bus_.get(), GstClockTime(left) * GST_USECOND, types));
            if (!message || GST_MESSAGE_TYPE(message.get()) != GST_MESSAGE_QOS)
                break;
            late_.add(message.get());
            message.reset();
        }
        if (message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS)
            return true;
        *error = message ? error_text(message.get()) : "the sinks did not finish the stream";
        return false;
    }

    const PlayTimeline& timeline_;
    const PlayRequest& request_;
    GstElementPtr pipeline_;
    GstBusPtr bus_;
    GstObjectPtr<GstClock> clock_;
    GstObjectPtr<GstNetTimeProvider> clock_server_;
    Sidecar sidecar_;
    ProbeContext context_;
    LateCount late_;
    GstAppSrc* video_ = nullptr; ///< owned by the pipeline
    GstAppSrc* audio_ = nullptr;
    int64_t frames_end_ = 0, samples_end_ = 0;
    int64_t next_frame_ = 0, next_sample_ = 0;
};

} // namespace

const char* const kLateCountedSync = "sync=true qos=true max-lateness=20000000";

std::string encoded_description(
    const ClipParams& params, int quality, const std::string& video_into, const std::string& audio_into)
{
    ElementProperties h264 = find_codec("h264", true)->properties(quality);
    const int fps = std::max(1, int(std::lround(double(params.fps.num) / params.fps.den)));
    for (auto& [name, value] : h264)
        if (name == "key-int-max")
            value = std::to_string(fps);
    h264.push_back({"tune", "zerolatency"});
    return "capsfilter name=video caps=video/x-raw,format=I420 ! x264enc" + property_text(h264) + " ! h264parse ! " +
        video_into + " twolamemp2enc name=audio" + property_text(find_codec("mp2", false)->properties(quality)) +
        " ! mpegaudioparse ! " + audio_into;
}

std::string mpegts_description(const std::string& sink, const ClipParams& params, int quality)
{
    return encoded_description(params, quality, "mpegtsmux name=mux alignment=7 ! " + sink, "mux.");
}

bool play_target_description(
    const std::string& target, const ClipParams& params, int quality, std::string* description, std::string* error)
{
    std::string host, uri;
    int port = 0;
    if (target == "auto")
        *description =
            "videoconvert name=video ! autovideosink audioconvert name=audio ! audioresample ! autoaudiosink";
    else if (parse_udp(target, &host, &port))
        *description =
            mpegts_description("udpsink host=" + host + " port=" + std::to_string(port) + " " + kLateCountedSync, params, quality);
    else if (parse_srt(target, &uri))
        // A listener must not hold the play back until someone calls.
        *description = mpegts_description(
            "srtsink uri=\"" + uri + "\" wait-for-connection=false " + kLateCountedSync, params, quality);
    else if (target.rfind("rtsp://", 0) == 0)
        *error = "cannot play to " + target +
            ": an RTSP target is rtsp://[HOST]:PORT/NAME, PORT from 1 to 65535, NAME of letters, digits, - and _";
    else
        *error = "cannot play to " + target +
            ": use udp://HOST:PORT, srt://HOST:PORT, srt://:PORT, http://[HOST]:PORT/NAME.m3u8, "
            "rtsp://[HOST]:PORT/NAME, auto or --pipeline DESCRIPTION";
    return error->empty();
}

bool play_run(const PlayTimeline& timeline, const PlayRequest& request, const volatile std::sig_atomic_t* stop,
    uint64_t* late, std::string* error)
{
    error->clear();
    Player player(timeline, request);
    const bool played = player.run(stop, error);
    *late = player.late();
    return played;
}

} // namespace skelv
