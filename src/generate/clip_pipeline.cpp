#include "generate/clip_pipeline.h"

#include "generate/caps_check.h"
#include "media/gst_ptr.h"

#include <gst/app/gstappsrc.h>

#include <cstdio>
#include <cstring>

namespace skelv {

namespace {

constexpr guint64 kQueueBytes = 4 << 20;                 // per source before pushing waits
constexpr GstClockTime kPollInterval = 10 * GST_MSECOND; // while no source can take a buffer
constexpr GstClockTime kFinishTimeout = 60 * GST_SECOND; // from the last buffer to the end of the file
// No stream is fed further ahead of the other than this. A muxer interleaves by time: it
// takes a stream only as far as it has the other, so what runs far ahead just fills its
// queue. Any encoder's latency is well below it.
constexpr GstClockTime kMaxLead = GST_SECOND;
constexpr GstClockTime kStallTimeout = 60 * GST_SECOND; // with no source able to take a buffer
constexpr int64_t kAudioChunk = 1024;                    // samples per buffer

std::vector<const char*> needed_elements(const Encoding& encoding)
{
    std::vector<const char*> names = {"appsrc", "filesink", "fakesink", encoding.container->muxer};
    if (encoding.video)
        names.insert(names.end(), {"videoconvert", "capsfilter"});
    if (encoding.audio)
        names.push_back("audioconvert");
    for (const Codec* codec : {encoding.video, encoding.audio}) {
        if (codec != nullptr && codec->encoder != nullptr)
            names.push_back(codec->encoder);
        if (codec != nullptr && codec->parser != nullptr)
            names.push_back(codec->parser);
    }
    return names;
}

struct Sources {
    GstAppSrc* video = nullptr;
    GstAppSrc* audio = nullptr;
};

bool negotiation_failed(const GError* error, const char* debug)
{
    return g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION) ||
        (debug != nullptr && strstr(debug, gst_flow_get_name(GST_FLOW_NOT_NEGOTIATED)) != nullptr);
}

// The error's text. A failed negotiation names the two elements that could not agree;
// otherwise the last line of the debug detail names the flow error behind a generic
// "Internal data stream error".
std::string message_text(GstMessage* message, const Sources& sources)
{
    GError* raw = nullptr;
    gchar* debug_raw = nullptr;
    gst_message_parse_error(message, &raw, &debug_raw);
    GErrorPtr error(raw);
    GCharPtr debug(debug_raw);
    if (negotiation_failed(error.get(), debug.get()))
        for (GstAppSrc* source : {sources.video, sources.audio})
            if (source != nullptr)
                if (std::string disagreement = caps_disagreement(GST_ELEMENT(source)); !disagreement.empty())
                    return disagreement;
    std::string text =
        std::string("GStreamer error from ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " + error->message;
    if (debug) {
        const std::string detail = g_strstrip(debug.get());
        text += " (" + detail.substr(detail.rfind('\n') + 1) + ")";
    }
    return text;
}

// Adds a new element to the bin, which owns it; returns it borrowed.
GstElement* add_element(GstElement* bin, const char* factory, const ElementProperties& properties = {})
{
    GstElement* element = gst_element_factory_make(factory, nullptr);
    for (const auto& [name, value] : properties)
        gst_util_set_object_arg(G_OBJECT(element), name.c_str(), value.c_str());
    gst_bin_add(GST_BIN(bin), element);
    return element;
}

GstAppSrc* add_source(GstElement* bin, GstCaps* caps)
{
    GstElement* source = add_element(bin, "appsrc", {{"format", "time"}, {"max-bytes", std::to_string(kQueueBytes)}});
    gst_app_src_set_caps(GST_APP_SRC(source), caps);
    return GST_APP_SRC(source);
}

// source → converter [→ caps filter] [→ encoder] [→ parser] → downstream; the source, or
// nullptr when the elements do not link.
GstAppSrc* add_branch(
    GstElement* bin, const Codec& codec, const ClipParams& params, int quality, GstElement* downstream)
{
    GstAppSrc* source = add_source(bin, (codec.video ? design_video_caps(params) : design_audio_caps(params)).get());
    const char* converter = codec.video ? "videoconvert" : "audioconvert";
    std::vector<GstElement*> chain = {GST_ELEMENT(source), add_element(bin, converter)};
    if (codec.raw != nullptr) {
        GstCapsPtr caps(gst_caps_from_string(codec.raw));
        chain.push_back(add_element(bin, "capsfilter"));
        g_object_set(chain.back(), "caps", caps.get(), nullptr);
    }
    if (codec.encoder != nullptr)
        chain.push_back(add_element(bin, codec.encoder, codec.properties(quality)));
    if (codec.parser != nullptr)
        chain.push_back(add_element(bin, codec.parser));
    chain.push_back(downstream);
    for (size_t i = 0; i + 1 < chain.size(); i++)
        if (!gst_element_link(chain[i], chain[i + 1]))
            return nullptr;
    return source;
}

bool build(GstElement* pipeline, const ClipDesign& design, const Encoding& encoding, int quality,
    const std::string& path, Sources* sources)
{
    const ClipParams& params = design.params;
    GstElement* muxer = add_element(pipeline, encoding.container->muxer);
    GstElement* sink = add_element(pipeline, "filesink", {{"location", path}});
    if (!gst_element_link(muxer, sink))
        return false;
    if (encoding.video && !(sources->video = add_branch(pipeline, *encoding.video, params, quality, muxer)))
        return false;
    return !encoding.audio || (sources->audio = add_branch(pipeline, *encoding.audio, params, quality, muxer));
}

// Feeds both sources in timestamp order. When the stream that is behind has a full queue,
// the other may go on up to kMaxLead ahead: a muxer may hold the encoded video back until
// it has sound from beyond the encoder's latency. It never waits on one queue alone, since
// the one it waits on may drain only once the other is fed.
class Feeder {
public:
    Feeder(const ClipDesign& design, const std::vector<int16_t>& sound, Sources sources, GstBus* bus)
        : design_(design)
        , sound_(sound)
        , sources_(sources)
        , bus_(bus)
        , frame_(size_t(design.params.width) * design.params.height * 4)
    {
    }

    bool run(std::string* error)
    {
        GstClockTime waited = 0; // since the last buffer went in
        while (video_left() || audio_left()) {
            const bool video = may_push_video(), audio = may_push_audio();
            if (!video && !audio) {
                if (!wait(&waited, error))
                    return false;
                continue;
            }
            waited = 0;
            if (!(video && (!audio || video_time() <= audio_time()) ? push_frame(error) : push_audio(error)))
                return false;
        }
        return true;
    }

private:
    bool video_left() const { return next_video_ < design_.frames.size(); }
    bool audio_left() const { return next_sample_ < int64_t(sound_.size()); }
    static bool full(GstAppSrc* source) { return gst_app_src_get_current_level_bytes(source) > kQueueBytes; }
    uint64_t video_time() const { return design_.frames[next_video_].time_ns; }
    uint64_t audio_time() const
    {
        return gst_util_uint64_scale(uint64_t(next_sample_), GST_SECOND, uint64_t(design_.params.audio_rate));
    }
    bool may_push_video() const
    {
        return video_left() && !full(sources_.video) && (!audio_left() || video_time() < audio_time() + kMaxLead);
    }
    bool may_push_audio() const
    {
        return audio_left() && !full(sources_.audio) && (!video_left() || audio_time() < video_time() + kMaxLead);
    }

    // Lets the encoders drain the queues; false on a pipeline error or when nothing moves.
    bool wait(GstClockTime* waited, std::string* error)
    {
        GstMessagePtr message(gst_bus_timed_pop_filtered(bus_, kPollInterval, GST_MESSAGE_ERROR));
        *waited += kPollInterval;
        if (message)
            *error = message_text(message.get(), sources_);
        else if (*waited >= kStallTimeout)
            *error = "the encoders took no data for " + std::to_string(kStallTimeout / GST_SECOND) + " s";
        return error->empty();
    }

    bool push_frame(std::string* error)
    {
        const DeliveredFrame& frame = design_.frames[next_video_++];
        clip_design_paint(design_, frame.design, frame_.data(), design_.params.width * 4);
        GstBuffer* buffer = gst_buffer_new_memdup(frame_.data(), frame_.size());
        GST_BUFFER_PTS(buffer) = uint64_t(design_.params.start_ns) + frame.time_ns;
        GST_BUFFER_DURATION(buffer) = frame.duration;
        return push(sources_.video, buffer, video_left(), error);
    }

    bool push_audio(std::string* error)
    {
        const int64_t count = std::min<int64_t>(kAudioChunk, int64_t(sound_.size()) - next_sample_);
        const uint64_t start = audio_time();
        GstBuffer* buffer = gst_buffer_new_memdup(sound_.data() + next_sample_, size_t(count) * sizeof(int16_t));
        next_sample_ += count;
        GST_BUFFER_PTS(buffer) = uint64_t(design_.params.start_ns) + start;
        GST_BUFFER_DURATION(buffer) = audio_time() - start;
        return push(sources_.audio, buffer, audio_left(), error);
    }

    // Takes the buffer. A stream ends with its last buffer, not with the other stream: an
    // encoder that codes in blocks (flacenc: 4608 samples, 0.58 s at 8 kHz) hands on the
    // last, partial block only at the end of its stream, and the muxer holds the other
    // stream back until it has it.
    static bool push(GstAppSrc* source, GstBuffer* buffer, bool more, std::string* error)
    {
        if (gst_app_src_push_buffer(source, buffer) == GST_FLOW_OK) {
            if (!more)
                gst_app_src_end_of_stream(source);
            return true;
        }
        *error = "the pipeline stopped taking buffers";
        return false;
    }

    const ClipDesign& design_;
    const std::vector<int16_t>& sound_;
    Sources sources_;
    GstBus* bus_;
    std::vector<uint8_t> frame_; ///< RGBx, painted anew for every frame
    size_t next_video_ = 0;
    int64_t next_sample_ = 0;
};

bool wait_for_end(GstBus* bus, const Sources& sources, std::string* error)
{
    GstMessagePtr message(
        gst_bus_timed_pop_filtered(bus, kFinishTimeout, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    if (message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS)
        return true;
    *error = message ? message_text(message.get(), sources) : "timed out waiting for the muxer to finish";
    return false;
}

bool start(GstElement* pipeline, GstBus* bus, const Sources& sources, std::string* error)
{
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
        return true;
    GstMessagePtr message(gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR));
    *error = message ? message_text(message.get(), sources) : "the pipeline did not start";
    return false;
}

// A black frame, or a second of silence: more than any encoder's block (flacenc's 4608
// samples), so that it gives its first output while data flows, as in a run, not at the end.
GstBuffer* blank_buffer(bool video, const ClipParams& params)
{
    const size_t size = video ? size_t(params.width) * params.height * 4 : size_t(params.audio_rate) * sizeof(int16_t);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    gst_buffer_memset(buffer, 0, 0, size);
    GST_BUFFER_PTS(buffer) = 0;
    GST_BUFFER_DURATION(buffer) =
        video ? gst_util_uint64_scale(GST_SECOND, params.fps.den, params.fps.num) : GST_SECOND;
    return buffer;
}

// The caps a branch offered the muxer's one sink pad, and those the pad took.
struct MuxerInput {
    GstCapsPtr offered, taken;
};

MuxerInput muxer_input(GstElement* muxer)
{
    GST_OBJECT_LOCK(muxer);
    GstPadPtr pad(muxer->sinkpads ? GST_PAD(gst_object_ref(muxer->sinkpads->data)) : nullptr);
    GST_OBJECT_UNLOCK(muxer);
    GstPadPtr peer(pad ? gst_pad_get_peer(pad.get()) : nullptr);
    return {GstCapsPtr(peer ? gst_pad_get_current_caps(peer.get()) : nullptr),
        GstCapsPtr(pad ? gst_pad_get_current_caps(pad.get()) : nullptr)};
}

// One blank frame or second of sound through the codec's branch into the muxer, and on into
// a fakesink: encoders state fields at run time that their templates leave open, so only
// the muxer itself tells whether it takes what they give. Once it has, the rest is the run's.
bool muxer_takes_branch(const Container& container, const Codec& codec, const ClipParams& params, int quality,
    std::string* error)
{
    GstElementPtr pipeline(gst_adopt_sink(gst_pipeline_new("skelv_generate_probe")));
    GstBusPtr bus(gst_element_get_bus(pipeline.get()));
    GstElement* muxer = add_element(pipeline.get(), container.muxer);
    GstAppSrc* source = gst_element_link(muxer, add_element(pipeline.get(), "fakesink"))
        ? add_branch(pipeline.get(), codec, params, quality, muxer)
        : nullptr;
    const Sources sources = codec.video ? Sources{source, nullptr} : Sources{nullptr, source};
    std::string run_error;
    if (source != nullptr && start(pipeline.get(), bus.get(), sources, &run_error) &&
        gst_app_src_push_buffer(source, blank_buffer(codec.video, params)) == GST_FLOW_OK &&
        gst_app_src_end_of_stream(source) == GST_FLOW_OK)
        wait_for_end(bus.get(), sources, &run_error);
    const MuxerInput input = muxer_input(muxer);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    // Refused with the field the muxer misses; else in the run's own words, if it failed
    // before the muxer or for a reason the template does not show.
    if (source == nullptr)
        *error = std::string("cannot link the elements for ") + codec.name;
    else if (!input.taken && (!input.offered || caps_check_muxer_takes(container, codec, input.offered.get(), error)))
        *error = run_error;
    return error->empty();
}

bool encode(const ClipDesign& design, const std::vector<int16_t>& sound, const Encoding& encoding, int quality,
    const std::string& path, std::string* error)
{
    GstElementPtr pipeline(gst_adopt_sink(gst_pipeline_new("skelv_generate")));
    GstBusPtr bus(gst_element_get_bus(pipeline.get()));
    Sources sources;
    bool written = false;
    if (!build(pipeline.get(), design, encoding, quality, path, &sources))
        *error = "cannot link the elements for " + std::string(encoding.container->extension);
    else if (start(pipeline.get(), bus.get(), sources, error) && Feeder(design, sound, sources, bus.get()).run(error))
        written = wait_for_end(bus.get(), sources, error);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return written;
}

} // namespace

GstCapsPtr design_video_caps(const ClipParams& params)
{
    return GstCapsPtr(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGBx", "width", G_TYPE_INT,
        params.width, "height", G_TYPE_INT, params.height, "framerate", GST_TYPE_FRACTION, params.fps.num, params.fps.den,
        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
}

GstCapsPtr design_audio_caps(const ClipParams& params)
{
    return GstCapsPtr(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING,
        "interleaved", "rate", G_TYPE_INT, params.audio_rate, "channels", G_TYPE_INT, 1, nullptr));
}

bool clip_pipeline_missing_element(const Encoding& encoding, std::string* missing)
{
    for (const char* name : needed_elements(encoding)) {
        GstObjectPtr<GstElementFactory> factory(gst_element_factory_find(name));
        if (!factory) {
            *missing = name;
            return true;
        }
    }
    return false;
}

bool clip_pipeline_check(const Encoding& encoding, const ClipParams& params, int quality, std::string* error)
{
    error->clear();
    if (!caps_check_templates(encoding, params, error))
        return false;
    for (const Codec* codec : {encoding.video, encoding.audio}) {
        // Raw PCM: the converter gives whatever sample format the muxer asks for.
        if (codec == nullptr || codec->encoder == nullptr)
            continue;
        if (!muxer_takes_branch(*encoding.container, *codec, params, quality, error))
            return false;
    }
    return true;
}

bool clip_pipeline_write(const ClipDesign& design, const std::vector<int16_t>& sound, const Encoding& encoding,
    int quality, const std::string& path, std::string* error)
{
    const bool written = encode(design, sound, encoding, quality, path, error);
    if (!written)
        remove(path.c_str());
    return written;
}

} // namespace skelv
