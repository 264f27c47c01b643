#include "trial_errors.h"

#include <gst/gst.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex mutex;
std::string error_text; ///< empty: post nothing

// GStreamer's hooks call back from inside the state change, before the caller's
// gst_element_set_state returns.
struct TrialTracer {
    GstTracer parent;
};
struct TrialTracerClass {
    GstTracerClass parent_class;
};

G_DEFINE_TYPE(TrialTracer, trial_tracer, GST_TYPE_TRACER)

bool is_demuxer(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory != nullptr &&
           std::strstr(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS), "Demuxer") != nullptr;
}

void on_change_state_post(GObject* /*tracer*/, GstClockTime /*ts*/, GstElement* element, GstStateChange transition,
    GstStateChangeReturn result)
{
    if (transition != GST_STATE_CHANGE_NULL_TO_READY || result == GST_STATE_CHANGE_FAILURE || !is_demuxer(element))
        return;
    std::lock_guard lock(mutex);
    if (!error_text.empty())
        gst_element_message_full(element, GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_DEMUX,
            g_strdup(error_text.c_str()), nullptr, __FILE__, "on_change_state_post", __LINE__);
}

void trial_tracer_class_init(TrialTracerClass* /*klass*/) {}

void trial_tracer_init(TrialTracer* tracer)
{
    gst_tracing_register_hook(GST_TRACER(tracer), "element-change-state-post", G_CALLBACK(on_change_state_post));
}

} // namespace

ErrorsDuringDemuxerTrials::ErrorsDuringDemuxerTrials(std::string text)
{
    gst_init(nullptr, nullptr);
    // The hooks keep the tracer for the life of the process.
    static GstTracer* const tracer = GST_TRACER(g_object_new(trial_tracer_get_type(), nullptr));
    (void)tracer;
    std::lock_guard lock(mutex);
    error_text = std::move(text);
}

ErrorsDuringDemuxerTrials::~ErrorsDuringDemuxerTrials()
{
    std::lock_guard lock(mutex);
    error_text.clear();
}
