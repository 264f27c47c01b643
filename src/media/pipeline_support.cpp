#include "media/pipeline_support.h"

#include "media/gst_ptr.h"
#include "media/loader.h"

#include <algorithm>
#include <utility>

namespace skelv {

gint64 stall_limit_us(double seconds)
{
    if (!(seconds > 0 && seconds < 1e9)) {
        seconds = kDefaultStallSeconds;
        if (const char* text = g_getenv("SKELV_STALL_SECONDS")) {
            char* end = nullptr;
            const double parsed = g_ascii_strtod(text, &end);
            if (end != text && *end == '\0' && parsed > 0 && parsed < 1e9)
                seconds = parsed;
        }
    }
    return std::max<gint64>(1, gint64(seconds * G_USEC_PER_SEC));
}

std::string stall_message(gint64 limit_us)
{
    GCharPtr text(g_strdup_printf("Decoding stalled: no buffer, message or end of stream from the pipeline for %g s "
                                  "(the limit is set by SKELV_STALL_SECONDS)",
                                  double(limit_us) / G_USEC_PER_SEC));
    return text.get();
}

namespace {

// The bus of one element of a decoding bin; owned by that bus.
struct Relay {
    GstBusPtr bin_bus;
    std::function<void(GstMessage*)> on_error;
};

GstBusSyncReply on_relayed(GstBus* /*bus*/, GstMessage* message, gpointer data) noexcept
{
    const auto* relay = static_cast<const Relay*>(data);
    GstMessagePtr owned(message); // a sync handler that drops a message owns it
    // The bin passes a message on, or drops it, before the post returns.
    gst_bus_post(relay->bin_bus.get(), gst_message_ref(message));
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        relay->on_error(message);
    return GST_BUS_DROP;
}

} // namespace

void relay_decoding_bin_errors(GstBin* bin, GstElement* element, std::function<void(GstMessage*)> on_error)
{
    GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(bin));
    GstBusPtr bin_bus(gst_element_get_bus(element));
    if (factory == nullptr || g_strcmp0(GST_OBJECT_NAME(factory), "decodebin") != 0 || !bin_bus)
        return;
    GstBusPtr relay_bus(gst_bus_new());
    gst_bus_set_sync_handler(relay_bus.get(), on_relayed, new Relay{std::move(bin_bus), std::move(on_error)},
                             [](gpointer relay) { delete static_cast<Relay*>(relay); });
    gst_element_set_bus(element, relay_bus.get());
}

HeldErrorFate held_error_fate(GstMessage* error)
{
    GstObject* poster = GST_MESSAGE_SRC(error);
    GstObjectPtr<GstObject> parent(poster != nullptr ? gst_object_get_parent(poster) : nullptr);
    if (!parent || !GST_IS_ELEMENT(poster))
        return HeldErrorFate::LetGo;
    return gst_element_is_locked_state(GST_ELEMENT(poster)) ? HeldErrorFate::Undecided : HeldErrorFate::Kept;
}

gint64 StallWatch::left_us() const
{
    return std::max<gint64>(0, last_ + limit_ - g_get_monotonic_time());
}

GstClockTime StallWatch::pop_timeout(GstClockTime longest) const
{
    return std::min<GstClockTime>(longest, GstClockTime(left_us()) * GST_USECOND);
}

namespace {

void limit_decoder_threads(GstBin* /*pipeline*/, GstBin* /*bin*/, GstElement* element, gpointer data) noexcept
{
    const gint threads = GPOINTER_TO_INT(data);
    GParamSpec* property = g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads");
    if (property != nullptr && property->value_type == G_TYPE_INT)
        g_object_set(element, "max-threads", threads, nullptr);
}

} // namespace

void limit_decoder_threads_from_environment(GstElement* pipeline)
{
    const char* text = g_getenv("SKELV_DECODER_THREADS");
    char* end = nullptr;
    const gint64 threads = text != nullptr ? g_ascii_strtoll(text, &end, 10) : 0;
    if (text != nullptr && end != text && *end == '\0' && threads > 0 && threads <= 256)
        g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(limit_decoder_threads), GINT_TO_POINTER(threads));
}

std::string caps_text(const GstCaps* caps)
{
    GstCapsPtr shown(gst_caps_copy(caps));
    for (guint i = 0; i < gst_caps_get_size(shown.get()); i++)
        gst_structure_filter_and_map_in_place(
            gst_caps_get_structure(shown.get(), i),
            [](GQuark, GValue* value, gpointer) -> gboolean {
                return !G_VALUE_HOLDS(value, GST_TYPE_BUFFER) && !GST_VALUE_HOLDS_ARRAY(value);
            },
            nullptr);
    GCharPtr text(gst_caps_to_string(shown.get()));
    return text.get();
}

namespace {

// "<prefix> <element>: <message>" of an error or a warning message.
std::string message_text(GstMessage* message, const char* prefix)
{
    GError* parsed = nullptr;
    gchar* debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, &parsed, &debug);
    else
        gst_message_parse_warning(message, &parsed, &debug);
    GErrorPtr parsed_owner(parsed);
    GCharPtr debug_owner(debug);
    return std::string(prefix) + " " + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " + parsed->message;
}

} // namespace

std::string warning_text(GstMessage* warning)
{
    return message_text(warning, "Warning from");
}

std::string error_text(GstMessage* error)
{
    return message_text(error, "GStreamer error from");
}

std::optional<std::string> missing_decoder_warning(GstMessage* message)
{
    const GstStructure* structure = gst_message_get_structure(message);
    if (structure == nullptr || !gst_structure_has_name(structure, "missing-plugin") ||
        g_strcmp0(gst_structure_get_string(structure, "type"), "decoder") != 0)
        return std::nullopt;
    GstCaps* caps = nullptr;
    if (!gst_structure_get(structure, "detail", GST_TYPE_CAPS, &caps, nullptr) || caps == nullptr)
        return std::nullopt;
    GstCapsPtr caps_owner(caps);
    const char* media = gst_caps_get_size(caps) > 0 ? gst_structure_get_name(gst_caps_get_structure(caps, 0)) : "";
    if (!g_str_has_prefix(media, "audio/") && !g_str_has_prefix(media, "video/") && !g_str_has_prefix(media, "image/"))
        return std::nullopt;
    return "No decoder for " + caps_text(caps) + "; the stream is not read";
}

GstClockTime running_time_within(const GstSegment* segment, GstClockTime timestamp)
{
    if (!GST_CLOCK_TIME_IS_VALID(timestamp))
        return GST_CLOCK_TIME_NONE;
    GstClockTime position = std::max<GstClockTime>(timestamp, segment->start);
    if (GST_CLOCK_TIME_IS_VALID(segment->stop))
        position = std::min<GstClockTime>(position, segment->stop);
    return gst_segment_to_running_time(segment, GST_FORMAT_TIME, position);
}

ClockIdentity clock_identity(GstClock* clock, GstClockTime base_time)
{
    GstClockType type = GST_CLOCK_TYPE_OTHER;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(clock), "clock-type") != nullptr)
        g_object_get(clock, "clock-type", &type, nullptr);
    gchar* boot_id = nullptr;
    g_file_get_contents("/proc/sys/kernel/random/boot_id", &boot_id, nullptr, nullptr);
    GCharPtr boot_id_owner(boot_id);
    return {GST_OBJECT_NAME(clock),
        type == GST_CLOCK_TYPE_MONOTONIC ? "system monotonic"
            : type == GST_CLOCK_TYPE_REALTIME ? "system realtime"
                                               : "other",
        boot_id != nullptr ? g_strstrip(boot_id) : "", int64_t(base_time), "", -1};
}

const char* klass_of(GstElement* element)
{
    return gst_element_class_get_metadata(GST_ELEMENT_GET_CLASS(element), GST_ELEMENT_METADATA_KLASS);
}

} // namespace skelv
