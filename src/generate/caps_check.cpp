#include "generate/caps_check.h"

#include "media/gst_ptr.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace skelv {

namespace {

// Everything the factory's pads of one direction can take or give; writable.
GstCapsPtr template_caps(const char* factory_name, GstPadDirection direction)
{
    GstObjectPtr<GstElementFactory> factory(gst_element_factory_find(factory_name));
    GstCaps* caps = gst_caps_new_empty();
    for (const GList* t = gst_element_factory_get_static_pad_templates(factory.get()); t != nullptr; t = t->next) {
        auto* pad_template = static_cast<GstStaticPadTemplate*>(t->data);
        if (pad_template->direction == direction)
            caps = gst_caps_merge(caps, gst_static_pad_template_get_caps(pad_template));
    }
    return GstCapsPtr(gst_caps_make_writable(caps));
}

// The fields every element of a branch keeps from its input: the picture's size and rate,
// the sound's rate and channels.
void set_stream_fields(GstCaps* caps, bool video, const ClipParams& params)
{
    if (video)
        gst_caps_set_simple(caps, "width", G_TYPE_INT, params.width, "height", G_TYPE_INT, params.height, "framerate",
            GST_TYPE_FRACTION, params.fps.num, params.fps.den, nullptr);
    else
        gst_caps_set_simple(caps, "rate", G_TYPE_INT, params.audio_rate, "channels", G_TYPE_INT, 1, nullptr);
}

// What the converter hands the encoder: the codec's raw format for video, any sample format for audio.
GstCapsPtr encoder_input(const Codec& codec, const ClipParams& params)
{
    GstCapsPtr caps(gst_caps_from_string(codec.video ? codec.raw : "audio/x-raw"));
    set_stream_fields(caps.get(), codec.video, params);
    return caps;
}

// The element that feeds the muxer: the parser, the encoder, or for raw PCM the converter.
const char* last_element(const Codec& codec)
{
    return codec.parser ? codec.parser : codec.encoder ? codec.encoder : "audioconvert";
}

// What the branch's last element can give, as its template says.
GstCapsPtr muxer_input(const Codec& codec, const ClipParams& params)
{
    GstCapsPtr caps = template_caps(last_element(codec), GST_PAD_SRC);
    set_stream_fields(caps.get(), codec.video, params);
    return caps;
}

using Values = std::vector<std::pair<double, std::string>>; ///< order key and text

// Every value that `value` allows, as "8000", "1000 to 96000" or "30000/1001".
void add_values(const GValue* value, Values* values)
{
    if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); i++)
            add_values(gst_value_list_get_value(value, i), values);
    } else if (GST_VALUE_HOLDS_INT_RANGE(value)) {
        const int low = gst_value_get_int_range_min(value), high = gst_value_get_int_range_max(value);
        values->emplace_back(low, std::to_string(low) + " to " + std::to_string(high));
    } else if (G_VALUE_HOLDS_INT(value)) {
        values->emplace_back(g_value_get_int(value), std::to_string(g_value_get_int(value)));
    } else if (GST_VALUE_HOLDS_FRACTION(value)) {
        const int num = gst_value_get_fraction_numerator(value), den = gst_value_get_fraction_denominator(value);
        values->emplace_back(double(num) / den, std::to_string(num) + (den == 1 ? "" : "/" + std::to_string(den)));
    } else {
        GCharPtr text(gst_value_serialize(value));
        values->emplace_back(0, text.get());
    }
}

// "8000, 16000 or 48000", in increasing order, each once.
std::string join(Values values)
{
    std::stable_sort(values.begin(), values.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> seen;
    std::string text;
    for (const auto& [key, value] : values) {
        if (std::find(seen.begin(), seen.end(), value) != seen.end())
            continue;
        seen.push_back(value);
        text += (text.empty() ? "" : ", ") + value;
    }
    const size_t last_comma = text.rfind(", ");
    return last_comma == std::string::npos ? text : text.replace(last_comma, 2, " or ");
}

struct Limit {
    std::string field;   ///< empty: no single field is to blame
    std::string allowed; ///< what the template allows for it
};

// The field that the clip's options decide (the others follow from the codec) whose value
// every structure of the stream's type in `accepted` refuses.
Limit refused_field(const GstStructure* stream, const GstCaps* accepted)
{
    for (const char* field : {"rate", "channels", "width", "height", "framerate"}) {
        const GValue* value = gst_structure_get_value(stream, field);
        if (value == nullptr)
            continue;
        Values allowed;
        bool refused = false;
        for (guint i = 0; i < gst_caps_get_size(accepted); i++) {
            const GstStructure* s = gst_caps_get_structure(accepted, i);
            if (!gst_structure_has_name(s, gst_structure_get_name(stream)))
                continue;
            const GValue* limit = gst_structure_get_value(s, field);
            if (limit == nullptr || gst_value_intersect(nullptr, value, limit)) {
                refused = false;
                break;
            }
            refused = true;
            add_values(limit, &allowed);
        }
        if (refused)
            return {field, join(allowed)};
    }
    return {};
}

// "at 1000 to 96000 Hz", "with a width of 16 to 4096 pixels"
std::string limit_text(const Limit& limit)
{
    if (limit.field == "rate")
        return "at " + limit.allowed + " Hz";
    if (limit.field == "framerate")
        return "at " + limit.allowed + " frames per second";
    if (limit.field == "channels")
        return "with " + limit.allowed + " channels";
    return "with a " + limit.field + " of " + limit.allowed + " pixels";
}

// "use another --audio-rate, audio codec or container"
std::string remedy(const Limit& limit, bool video, bool container)
{
    std::vector<std::string> choices;
    if (limit.field == "rate")
        choices.push_back("--audio-rate");
    else if (limit.field == "framerate")
        choices.push_back("--fps");
    else if (limit.field == "width" || limit.field == "height")
        choices.push_back("--size");
    choices.push_back(video ? "video codec" : "audio codec");
    if (container)
        choices.push_back("container");
    std::string text = "use another " + choices.front();
    for (size_t i = 1; i < choices.size(); i++)
        text += (i + 1 == choices.size() ? " or " : ", ") + choices[i];
    return text;
}

std::string stream_name(const Codec& codec)
{
    return std::string(codec.name) + (codec.video ? " video" : " audio");
}

bool encoder_takes(const Container& container, const Codec& codec, const ClipParams& params, std::string* error)
{
    const GstCapsPtr input = encoder_input(codec, params);
    const GstCapsPtr accepted = template_caps(codec.encoder, GST_PAD_SINK);
    if (gst_caps_can_intersect(input.get(), accepted.get()))
        return true;
    const Limit limit = refused_field(gst_caps_get_structure(input.get(), 0), accepted.get());
    if (limit.field.empty()) {
        GCharPtr text(gst_caps_to_string(input.get()));
        *error = std::string(codec.encoder) + " cannot encode " + text.get();
        return false;
    }
    const char* by_default = codec.video ? container.video : container.audio;
    const bool is_default = by_default != nullptr && strcmp(by_default, codec.name) == 0;
    *error = std::string(codec.encoder) + " encodes " + stream_name(codec) +
        (is_default ? std::string(" (the .") + container.extension + " default) " : " ") + limit_text(limit) +
        " only: " + remedy(limit, codec.video, false);
    return false;
}

std::string file_name(const Container& container)
{
    return std::string("a .") + container.extension + " file";
}

// Against the templates: the muxer must take the stream's type, rate or size.
bool muxer_template_takes(const Container& container, const Codec& codec, const ClipParams& params, std::string* error)
{
    const GstCapsPtr input = muxer_input(codec, params);
    const GstCapsPtr accepted = template_caps(container.muxer, GST_PAD_SINK);
    if (gst_caps_can_intersect(input.get(), accepted.get()))
        return true;
    Limit limit;
    for (guint i = 0; i < gst_caps_get_size(input.get()) && limit.field.empty(); i++)
        limit = refused_field(gst_caps_get_structure(input.get(), i), accepted.get());
    if (limit.field.empty())
        *error = file_name(container) + " cannot hold " + stream_name(codec);
    else
        *error = file_name(container) + " holds " + stream_name(codec) + " " + limit_text(limit) + " only (" +
            container.muxer + "): " + remedy(limit, codec.video, true);
    return false;
}

// The first field of a muxer's structure that agrees with the stream on every field both
// state, but that the stream does not state.
std::string unstated_field(const GstStructure* stream, const GstCaps* accepted)
{
    for (guint i = 0; i < gst_caps_get_size(accepted); i++) {
        const GstStructure* muxer = gst_caps_get_structure(accepted, i);
        if (!gst_structure_can_intersect(stream, muxer))
            continue;
        for (int f = 0; f < gst_structure_n_fields(muxer); f++) {
            const char* field = gst_structure_nth_field_name(muxer, f);
            if (!gst_structure_has_field(stream, field))
                return field;
        }
    }
    return "";
}

std::string factory_name(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)) : GST_ELEMENT_NAME(element);
}

} // namespace

bool caps_check_templates(const Encoding& encoding, const ClipParams& params, std::string* error)
{
    for (const Codec* codec : {encoding.video, encoding.audio})
        if (codec != nullptr &&
            !((codec->encoder == nullptr || encoder_takes(*encoding.container, *codec, params, error)) &&
                muxer_template_takes(*encoding.container, *codec, params, error)))
            return false;
    return true;
}

bool caps_check_muxer_takes(const Container& container, const Codec& codec, const GstCaps* stream, std::string* error)
{
    GstObjectPtr<GstElementFactory> muxer(gst_element_factory_find(container.muxer));
    if (gst_element_factory_can_sink_all_caps(muxer.get(), stream))
        return true;
    const GstCapsPtr accepted = template_caps(container.muxer, GST_PAD_SINK);
    const GstStructure* structure = gst_caps_get_structure(stream, 0);
    const std::string unstated = unstated_field(structure, accepted.get());
    const std::string last = last_element(codec);
    std::string reason;
    if (!unstated.empty()) {
        reason = std::string(container.muxer) + " needs its " + unstated + ", which " + last + " does not state";
    } else {
        GCharPtr text(gst_caps_to_string(stream));
        reason = std::string(container.muxer) + " does not take " + text.get();
    }
    *error = file_name(container) + " cannot hold " + stream_name(codec) + " as " + last + " gives it: " + reason +
        "; " + remedy({}, codec.video, true);
    return false;
}

std::string caps_disagreement(GstElement* source)
{
    for (GstElementPtr element(GST_ELEMENT(gst_object_ref(source)));;) {
        GstPadPtr src(gst_element_get_static_pad(element.get(), "src"));
        GstPadPtr sink(src ? gst_pad_get_peer(src.get()) : nullptr);
        if (!sink)
            return "";
        GstElementPtr next(gst_pad_get_parent_element(sink.get()));
        GstCapsPtr offered(gst_pad_get_current_caps(src.get()));
        GstCapsPtr taken(gst_pad_get_current_caps(sink.get()));
        if (offered && !taken) {
            GCharPtr text(gst_caps_to_string(offered.get()));
            const std::string giver = factory_name(element.get()), taker = factory_name(next.get());
            return giver + " and " + taker + " could not agree on a format: " + taker + " does not take " + giver +
                "'s " + text.get();
        }
        element = std::move(next);
    }
}

} // namespace skelv
