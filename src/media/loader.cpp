#include "media/loader.h"

#include "media/gst_ptr.h"
#include "media/log.h"
#include "media/pipeline_support.h"

#include <gst/app/gstappsink.h>
#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#define GST_CAT_DEFAULT skelv_analyzer_debug

using skelv::HeldErrorFate;
using skelv::klass_of;
using skelv::running_time_within;
using skelv::StallWatch;

G_DEFINE_QUARK(skelv-loader-error-quark, skelv_loader_error)

struct LoaderHeldErrors {
    std::mutex mutex;
    std::vector<GstMessagePtr> errors;
};

namespace {

constexpr GstClockTime kBusTimeout = GST_SECOND;
// The bin decides about a held error's element without a word: look again this soon.
constexpr GstClockTime kHeldErrorRecheck = 50 * GST_MSECOND;
constexpr guint kMaxQueuedSamples = 10;

void dump_graph(Loader* loader, const char* name)
{
    gst_debug_bin_to_dot_file(GST_BIN(loader->pipeline), GST_DEBUG_GRAPH_SHOW_ALL, name);
}

// ---------------------------------------------------------------- watchdog

void fail_stalled(Loader* loader, GError** error)
{
    dump_graph(loader, "stall");
    g_set_error_literal(error, SKELV_LOADER_ERROR, SKELV_LOADER_ERROR_STALLED,
                        skelv::stall_message(loader->stall_limit).c_str());
}

// ---------------------------------------------------------------- warnings

void add_warning(Loader* loader, std::string text)
{
    if (loader->warned.insert(text).second)
        loader->warnings.push_back(std::move(text));
}

void note_warning(Loader* loader, GstMessage* message)
{
    add_warning(loader, skelv::warning_text(message));
}

// The decoding bin announces a stream that it has no decoder for with a "missing-plugin"
// element message; only audio and video streams matter here.
void note_missing_decoder(Loader* loader, GstMessage* message)
{
    if (std::optional<std::string> warning = skelv::missing_decoder_warning(message))
        add_warning(loader, std::move(*warning));
}

// Takes in one bus message; true when it was an error, now in `*error`.
bool take_message(Loader* loader, GstMessage* message, GError** error)
{
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: return handle_error_message(loader, message, error);
    case GST_MESSAGE_WARNING: note_warning(loader, message); break;
    case GST_MESSAGE_ELEMENT: note_missing_decoder(loader, message); break;
    default: break;
    }
    return false;
}

// ---------------------------------------------------------------- errors the decoding bin swallows

void relay_errors(GstBin* /*pipeline*/, GstBin* bin, GstElement* element, Loader* loader) noexcept
{
    skelv::relay_decoding_bin_errors(bin, element, [held = loader->held_errors](GstMessage* error) {
        std::lock_guard lock(held->mutex);
        held->errors.emplace_back(gst_message_ref(error));
    });
}

// True when an error that the decoding bin did not pass on belongs to an element it kept; the
// error is then in `*error`. Errors of elements the bin gave up on are let go.
bool take_swallowed_error(Loader* loader, GError** error)
{
    std::lock_guard lock(loader->held_errors->mutex);
    std::vector<GstMessagePtr>& held = loader->held_errors->errors;
    for (auto message = held.begin(); message != held.end();) {
        switch (skelv::held_error_fate(message->get())) {
        case HeldErrorFate::LetGo: message = held.erase(message); break;
        case HeldErrorFate::Undecided: ++message; break;
        case HeldErrorFate::Kept: return handle_error_message(loader, message->get(), error);
        }
    }
    return false;
}

// A bus pop of at most `longest`, shorter while an error is held.
GstClockTime pop_timeout(Loader* loader, const StallWatch& watch, GstClockTime longest)
{
    std::lock_guard lock(loader->held_errors->mutex);
    return watch.pop_timeout(loader->held_errors->errors.empty() ? longest : std::min(longest, kHeldErrorRecheck));
}

// ---------------------------------------------------------------- streaming-thread handlers

GstFlowReturn appsink_new_sample(GstElement* sink, Loader* loader) noexcept
{
    if (sink == g_atomic_pointer_get(&loader->videosink))
        g_atomic_int_inc(&loader->video_pending);
    else if (sink == g_atomic_pointer_get(&loader->audiosink))
        g_atomic_int_inc(&loader->audio_pending);
    gst_bus_post(loader->bus,
                 gst_message_new_application(GST_OBJECT(sink), gst_structure_new_empty("new-sample")));
    return GST_FLOW_OK;
}

void post_link_error(GstElement* poster, const char* debug_text) noexcept
{
    GST_CAT_WARNING_OBJECT(skelv_analyzer_debug, poster, "error: %s", debug_text);
    gst_element_message_full(poster, GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE,
                             nullptr, g_strdup(debug_text), "loader", "decodebin_pad_added", __LINE__);
}

// Links `pad` into a converter → appsink branch unless an earlier pad of the same kind won.
void link_branch(GstPad* pad, GstElement* convert, GstElement* sink, const char* pad_link_error,
                 GstElement* element_link_poster, const char* element_link_error) noexcept
{
    GstPadPtr sink_pad(gst_element_get_static_pad(convert, "sink"));
    if (gst_pad_is_linked(sink_pad.get()))
        return;
    // The next group of a chained file (Ogg) brings new pads to a branch still linked
    // downstream.
    GstPadPtr convert_src(gst_element_get_static_pad(convert, "src"));
    if (gst_pad_link(pad, sink_pad.get()) != GST_PAD_LINK_OK)
        post_link_error(convert, pad_link_error);
    else if (!gst_pad_is_linked(convert_src.get()) && !gst_element_link(convert, sink))
        post_link_error(element_link_poster, element_link_error);
}

void decodebin_pad_added(GstElement* /*decodebin*/, GstPad* pad, Loader* loader) noexcept
{
    GstCapsPtr caps(gst_pad_query_caps(pad, nullptr));
    const char* media = "";
    if (caps && gst_caps_get_size(caps.get()) > 0)
        media = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));

    if (g_str_has_prefix(media, "audio/"))
        link_branch(pad, loader->audioconvert, loader->audiosink, "Could not link decodebin to audioconvert",
                    loader->audiosink, "Could not link audioconvert to audiosink");
    else if (g_str_has_prefix(media, "video/"))
        link_branch(pad, loader->videoconvert, loader->videosink, "Could not link decodebin to videoconvert",
                    loader->videoconvert, "Could not link videoconvert to videosink");
}

// Removes a branch whose stream the file turned out not to have.
void prune_unlinked_branch(Loader* loader, GstElement** convert, GstElement** sink) noexcept
{
    GstPadPtr sink_pad(gst_element_get_static_pad(*convert, "sink"));
    if (gst_pad_is_linked(sink_pad.get()))
        return;
    gst_element_set_state(*convert, GST_STATE_NULL);
    gst_element_set_state(*sink, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(loader->pipeline), *convert);
    gst_bin_remove(GST_BIN(loader->pipeline), *sink);
    g_atomic_pointer_set(convert, nullptr);
    g_atomic_pointer_set(sink, nullptr);
}

void decodebin_no_more_pads(GstElement* /*decodebin*/, Loader* loader) noexcept
{
    prune_unlinked_branch(loader, &loader->audioconvert, &loader->audiosink);
    prune_unlinked_branch(loader, &loader->videoconvert, &loader->videosink);
}

// ---------------------------------------------------------------- construction

struct ElementRecipe {
    const char* factory;
    const char* name;
    GstElement* Loader::*field;
};
constexpr ElementRecipe kElements[] = {
    {"filesrc", "filesrc0", &Loader::filesrc},
    {"decodebin", "decodebin0", &Loader::decodebin},
    {"appsink", "videosink", &Loader::videosink},
    {"videoconvert", "videoconvert0", &Loader::videoconvert},
    {"appsink", "audiosink", &Loader::audiosink},
    {"audioconvert", "audioconvert0", &Loader::audioconvert},
};

// Creates every element; a missing plugin leaves nothing half-built behind.
bool make_elements(Loader* loader, GError** error)
{
    for (const ElementRecipe& element : kElements) {
        loader->*element.field = gst_element_factory_make(element.factory, element.name);
        if (loader->*element.field != nullptr)
            continue;
        g_set_error(error, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN,
                    "Error from skelv_analyzer: cannot create element \"%s\": the GStreamer element "
                    "\"%s\" is missing (is its plugin installed?)",
                    element.name, element.factory);
        for (const ElementRecipe& made : kElements) {
            if (loader->*made.field != nullptr)
                gst_object_unref(gst_object_ref_sink(loader->*made.field));
            loader->*made.field = nullptr;
        }
        return false;
    }
    return true;
}

void configure_sink(GstElement* sink, GstCaps* caps, Loader* loader)
{
    g_object_set(sink, "max-buffers", kMaxQueuedSamples, nullptr);
    g_object_set(sink, "emit-signals", TRUE, nullptr);
    g_object_set(sink, "sync", FALSE, nullptr);
    g_object_set(sink, "caps", caps, nullptr);
    g_signal_connect(sink, "new-sample", G_CALLBACK(appsink_new_sample), loader);
}

void build_pipeline(Loader* loader, const char* path, GstCaps* video_caps, GstCaps* audio_caps)
{
    skelv::limit_decoder_threads_from_environment(loader->pipeline);
    g_object_set(loader->filesrc, "location", path, nullptr);
    configure_sink(loader->videosink, video_caps, loader);
    configure_sink(loader->audiosink, audio_caps, loader);
    gst_bin_add_many(GST_BIN(loader->pipeline), loader->filesrc, loader->decodebin, loader->videoconvert,
                     loader->videosink, loader->audioconvert, loader->audiosink, nullptr);
    gst_element_link(loader->filesrc, loader->decodebin);
    g_signal_connect(loader->decodebin, "pad-added", G_CALLBACK(decodebin_pad_added), loader);
    g_signal_connect(loader->decodebin, "no-more-pads", G_CALLBACK(decodebin_no_more_pads), loader);
    g_signal_connect(loader->pipeline, "deep-element-added", G_CALLBACK(relay_errors), loader);
}

// A sink is ready when it is absent, has a sample queued, or ended without one.
bool sink_ready(GstElement** field, gint* pending)
{
    GstElement* sink = static_cast<GstElement*>(g_atomic_pointer_get(field));
    return sink == nullptr || g_atomic_int_get(pending) != 0 || gst_app_sink_is_eos(GST_APP_SINK(sink));
}

// Blocks until the pipeline plays and every present sink is ready, or an error arrives, or
// the pipeline stalls.
void wait_until_open(Loader* loader, GError** error)
{
    bool playing = false;
    StallWatch watch(loader->stall_limit);
    for (;;) {
        GstMessagePtr message(gst_bus_timed_pop(loader->bus, pop_timeout(loader, watch, kBusTimeout)));
        if (message) {
            watch.moved();
            if (take_message(loader, message.get(), error))
                return;
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_STATE_CHANGED) {
                GstState new_state;
                gst_message_parse_state_changed(message.get(), nullptr, &new_state, nullptr);
                playing = playing || new_state == GST_STATE_PLAYING;
            }
        } else {
            dump_graph(loader, "loader_open_wait");
            if (take_swallowed_error(loader, error))
                return;
        }
        if (playing && sink_ready(&loader->audiosink, &loader->audio_pending) &&
            sink_ready(&loader->videosink, &loader->video_pending))
            return;
        if (!message && watch.stalled()) {
            fail_stalled(loader, error);
            return;
        }
    }
}

} // namespace

bool handle_error_message(Loader* loader, GstMessage* message, GError** error)
{
    dump_graph(loader, "error");
    GError* parsed = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &parsed, &debug);
    GErrorPtr parsed_owner(parsed);
    GCharPtr debug_owner(debug);
    g_clear_error(error);
    g_set_error(error, parsed->domain, parsed->code, "Error from %s: %s\n%s", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                parsed->message, debug != nullptr ? debug : "(no debug info)");
    return true;
}

Loader* loader_open(const char* path, GError** error)
{
    GstCapsPtr video(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGBx", nullptr));
    GstCapsPtr audio(
        gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "channels", G_TYPE_INT, 1, nullptr));
    return loader_open_caps(path, video.get(), audio.get(), error);
}

Loader* loader_open_caps(const char* path, GstCaps* video_caps, GstCaps* audio_caps, GError** error)
{
    *error = nullptr;
    auto* loader = new Loader{};
    gst_segment_init(&loader->audio_segment, GST_FORMAT_TIME);
    gst_segment_init(&loader->video_segment, GST_FORMAT_TIME);
    loader->stall_limit = skelv::stall_limit_us();
    loader->held_errors = std::make_shared<LoaderHeldErrors>();
    loader->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("skelv_analyzer")));
    if (!make_elements(loader, error))
        return loader;
    loader->bus = gst_pipeline_get_bus(GST_PIPELINE(loader->pipeline));
    loader->videosink_ref = GST_ELEMENT(gst_object_ref(loader->videosink));
    loader->audiosink_ref = GST_ELEMENT(gst_object_ref(loader->audiosink));
    build_pipeline(loader, path, video_caps, audio_caps);
    gst_element_set_state(loader->pipeline, GST_STATE_PLAYING);
    wait_until_open(loader, error);
    dump_graph(loader, "loader_open_done");
    return loader;
}

void loader_close(Loader* loader)
{
    if (loader == nullptr)
        return;
    if (loader->pipeline != nullptr)
        gst_element_set_state(loader->pipeline, GST_STATE_NULL);
    if (loader->held_errors) {
        // A held error holds its element, whose bus holds the list: break the cycle.
        std::lock_guard lock(loader->held_errors->mutex);
        loader->held_errors->errors.clear();
    }
    gst_clear_object(&loader->pipeline);
    gst_clear_object(&loader->bus);
    gst_clear_object(&loader->videosink_ref);
    gst_clear_object(&loader->audiosink_ref);
    gst_clear_caps(&loader->video_caps);
    delete loader;
}

// ---------------------------------------------------------------- delivery

namespace {

void log_buffer(const char* kind, GstBuffer* buffer)
{
    if (!skelv_log_enabled(GST_LEVEL_INFO))
        return;
    SkelvClockParts pts = skelv_split_time(GST_BUFFER_PTS(buffer));
    SkelvClockParts duration = skelv_split_time(GST_BUFFER_DURATION(buffer));
    gst_debug_log(skelv_analyzer_debug, GST_LEVEL_INFO, "loader", "loader_get_buffer", __LINE__, nullptr,
                  "Got %s buffer: %u:%02u:%02u.%09u duration %u:%02u:%02u.%09u", kind, pts.hours, pts.minutes,
                  pts.seconds, pts.nanoseconds, duration.hours, duration.minutes, duration.seconds,
                  duration.nanoseconds);
}

bool sink_finished(GstElement* sink)
{
    return sink == nullptr || gst_app_sink_is_eos(GST_APP_SINK(sink));
}

bool sink_has_announced(GstElement* sink, gint* pending)
{
    return sink != nullptr && g_atomic_int_get(pending) != 0;
}

// Keeps the frame size of the latest video sample's caps, parsed only when they change.
void remember_video_caps(Loader* loader, GstCaps* caps)
{
    if (caps == loader->video_caps)
        return;
    gst_caps_replace(&loader->video_caps, caps);
    GstVideoInfo info;
    gst_video_info_init(&info);
    loader->frame_size_known = caps != nullptr && gst_video_info_from_caps(&info, caps);
    loader->frame_width = GST_VIDEO_INFO_WIDTH(&info);
    loader->frame_height = GST_VIDEO_INFO_HEIGHT(&info);
    loader->frame_stride = GST_VIDEO_INFO_COMP_STRIDE(&info, 0);
}

// Pulls one announced sample, if any, and returns a new reference to its buffer.
GstBuffer* pull_announced(Loader* loader, GstElement* sink, gint* pending, GstSegment* segment, const char* kind)
{
    if (g_atomic_int_get(pending) == 0)
        return nullptr;
    g_atomic_int_add(pending, -1);
    GstSamplePtr sample(gst_app_sink_pull_sample(GST_APP_SINK(sink)));
    if (!sample)
        return nullptr;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (buffer == nullptr)
        return nullptr;
    if (const GstSegment* sample_segment = gst_sample_get_segment(sample.get()))
        gst_segment_copy_into(sample_segment, segment);
    if (sink == loader->videosink_ref)
        remember_video_caps(loader, gst_sample_get_caps(sample.get()));
    gst_buffer_ref(buffer);
    log_buffer(kind, buffer);
    return buffer;
}

// Video information of the caps currently on a sink's input pad.
bool current_video_info(GstElement* sink, GstVideoInfo* info)
{
    gst_video_info_init(info);
    GstPadPtr pad(gst_element_get_static_pad(sink, "sink"));
    GstCapsPtr caps(gst_pad_get_current_caps(pad.get()));
    return caps && gst_video_info_from_caps(info, caps.get());
}

} // namespace

bool loader_get_buffer(Loader* loader, GstBuffer** audio, GstBuffer** video, GError** error)
{
    *audio = nullptr;
    *video = nullptr;
    *error = nullptr;
    StallWatch watch(loader->stall_limit);
    for (;;) {
        // Read once: a chained file's next group may prune a branch meanwhile.
        GstElement* audiosink = static_cast<GstElement*>(g_atomic_pointer_get(&loader->audiosink));
        GstElement* videosink = static_cast<GstElement*>(g_atomic_pointer_get(&loader->videosink));
        if (sink_finished(videosink) && sink_finished(audiosink))
            return false;
        // Samples announced by messages that the open wait consumed need no new message:
        // waiting for one would stall up to the whole timeout.
        const bool announced = sink_has_announced(audiosink, &loader->audio_pending) ||
                               sink_has_announced(videosink, &loader->video_pending);
        GstMessagePtr message(gst_bus_timed_pop(loader->bus, announced ? 0 : pop_timeout(loader, watch, kBusTimeout)));
        if (message) {
            watch.moved();
            take_message(loader, message.get(), error);
        } else if (!announced) {
            take_swallowed_error(loader, error);
        }
        if (audiosink != nullptr)
            *audio = pull_announced(loader, audiosink, &loader->audio_pending, &loader->audio_segment, "audio");
        if (videosink != nullptr)
            *video = pull_announced(loader, videosink, &loader->video_pending, &loader->video_segment, "video");
        if (*audio != nullptr || *video != nullptr || *error != nullptr)
            return true;
        if (watch.stalled()) {
            fail_stalled(loader, error);
            return true;
        }
    }
}

void loader_get_video_size(Loader* loader, gint32* width, gint32* height, gint32* stride)
{
    *width = *height = *stride = 0;
    GstVideoInfo info;
    if (loader->videosink == nullptr || !current_video_info(loader->videosink, &info))
        return;
    *width = GST_VIDEO_INFO_WIDTH(&info);
    *height = GST_VIDEO_INFO_HEIGHT(&info);
    *stride = GST_VIDEO_INFO_COMP_STRIDE(&info, 0);
}

gint32 loader_get_audio_rate(Loader* loader)
{
    if (loader->audiosink == nullptr)
        return 0;
    GstPadPtr pad(gst_element_get_static_pad(loader->audiosink, "sink"));
    GstCapsPtr caps(gst_pad_get_current_caps(pad.get()));
    GstAudioInfo info;
    gst_audio_info_init(&info);
    if (!caps || !gst_audio_info_from_caps(&info, caps.get()))
        return 0;
    return GST_AUDIO_INFO_RATE(&info);
}

float loader_get_framerate(Loader* loader)
{
    GstVideoInfo info;
    if (loader->videosink == nullptr || !current_video_info(loader->videosink, &info))
        return 0;
    if (GST_VIDEO_INFO_FLAGS(&info) & GST_VIDEO_FLAG_VARIABLE_FPS)
        return 0;
    return float(GST_VIDEO_INFO_FPS_N(&info)) / float(GST_VIDEO_INFO_FPS_D(&info));
}

bool loader_get_frame_size(const Loader* loader, gint32* width, gint32* height, gint32* stride)
{
    *width = loader->frame_width;
    *height = loader->frame_height;
    *stride = loader->frame_stride;
    return loader->frame_size_known;
}

GstClockTime loader_get_video_running_time(const Loader* loader, GstClockTime timestamp)
{
    return running_time_within(&loader->video_segment, timestamp);
}

GstClockTime loader_get_audio_running_time(const Loader* loader, GstClockTime timestamp)
{
    return running_time_within(&loader->audio_segment, timestamp);
}

std::vector<std::string> loader_take_warnings(Loader* loader)
{
    std::vector<std::string> taken;
    taken.swap(loader->warnings);
    return taken;
}

// ---------------------------------------------------------------- element identification

namespace {

// First direct child of `bin` whose klass contains `pattern` ([transfer full]), or null.
GstElement* find_element_by_klass(GstElement* bin, const char* pattern)
{
    GstIterator* iterator = gst_bin_iterate_elements(GST_BIN(bin));
    GstElement* found = nullptr;
    GValue item = G_VALUE_INIT;
    while (found == nullptr && gst_iterator_next(iterator, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (strstr(klass_of(element), pattern) != nullptr)
            found = GST_ELEMENT(gst_object_ref(element));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(iterator);
    return found;
}

const gchar* get_element_factory_name(Loader* loader, const char* pattern)
{
    GstElementPtr element(find_element_by_klass(loader->decodebin, pattern));
    if (!element)
        return nullptr;
    GstElementFactory* factory = gst_element_get_factory(element.get());
    return factory != nullptr ? GST_OBJECT_NAME(factory) : nullptr;
}

gboolean is_element_factory(GstPluginFeature* feature, gpointer /*user_data*/)
{
    return feature != nullptr && GST_IS_ELEMENT_FACTORY(feature);
}

// Encoded caps the element consumes: the current caps of its sink pad, else the allowed ones.
GstCaps* encoded_caps(GstElement* element)
{
    GstPadPtr pad(gst_element_get_static_pad(element, "sink"));
    if (!pad)
        return nullptr;
    GstCaps* caps = gst_pad_get_current_caps(pad.get());
    return caps != nullptr ? caps : gst_pad_get_allowed_caps(pad.get());
}

// Highest-rank factory of klass `factory_pattern` able to produce `caps`; among equal ranks
// the name that sorts first. The walk runs from the lowest rank up and the last match wins.
const gchar* best_factory_producing(GstCaps* caps, const char* factory_pattern)
{
    GList* factories = gst_registry_feature_filter(gst_registry_get(), is_element_factory, FALSE, nullptr);
    factories = g_list_reverse(g_list_sort(factories, (GCompareFunc)gst_plugin_feature_rank_compare_func));
    const gchar* chosen = nullptr;
    for (GList* node = factories; node != nullptr; node = node->next) {
        auto* factory = GST_ELEMENT_FACTORY(node->data);
        const gchar* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
        if (klass == nullptr || strstr(klass, factory_pattern) == nullptr)
            continue;
        if (skelv_log_enabled(GST_LEVEL_DEBUG))
            gst_debug_log(skelv_analyzer_debug, GST_LEVEL_DEBUG, "loader", "get_matching_encoder_name", __LINE__,
                          nullptr, "Checking %s %s", GST_OBJECT_NAME(factory), klass);
        if (gst_element_factory_can_src_any_caps(factory, caps))
            chosen = GST_OBJECT_NAME(factory);
    }
    gst_plugin_feature_list_free(factories);
    return chosen;
}

const gchar* get_matching_encoder_name(Loader* loader, const char* element_pattern, const char* factory_pattern)
{
    GstElementPtr element(find_element_by_klass(loader->decodebin, element_pattern));
    if (!element)
        return nullptr;
    GstCapsPtr caps(encoded_caps(element.get()));
    if (skelv_log_enabled(GST_LEVEL_INFO)) {
        GCharPtr text(caps ? gst_caps_to_string(caps.get()) : g_strdup("NULL"));
        gst_debug_log(skelv_analyzer_debug, GST_LEVEL_INFO, "loader", "get_matching_encoder_name", __LINE__, nullptr,
                      "Encoded caps for klass %s are %s", element_pattern, text.get());
    }
    return caps ? best_factory_producing(caps.get(), factory_pattern) : nullptr;
}

} // namespace

const gchar* loader_get_demuxer(Loader* loader)
{
    return get_element_factory_name(loader, "Demux");
}

const gchar* loader_get_video_decoder(Loader* loader)
{
    const gchar* name = get_element_factory_name(loader, "Decoder/Video");
    return name != nullptr ? name : get_element_factory_name(loader, "Decoder/Image");
}

const gchar* loader_get_audio_decoder(Loader* loader)
{
    return get_element_factory_name(loader, "Decoder/Audio");
}

const gchar* loader_get_muxer(Loader* loader)
{
    return get_matching_encoder_name(loader, "Demux", "Muxer");
}

const gchar* loader_get_video_encoder(Loader* loader)
{
    const gchar* name = get_matching_encoder_name(loader, "Decoder/Video", "Encoder/Video");
    return name != nullptr ? name : get_matching_encoder_name(loader, "Decoder/Image", "Encoder/Image");
}

const gchar* loader_get_audio_encoder(Loader* loader)
{
    return get_matching_encoder_name(loader, "Decoder/Audio", "Encoder/Audio");
}
