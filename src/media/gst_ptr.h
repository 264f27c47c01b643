// Ownership of GStreamer and GLib objects: every reference belongs to one C++ owner.
#pragma once

#include <gst/gst.h>
#include <memory>

struct GstObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GstMiniObjectUnref {
    void operator()(gpointer object) const { gst_mini_object_unref(GST_MINI_OBJECT_CAST(object)); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};

template <typename T> using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;
template <typename T> using GstMiniObjectPtr = std::unique_ptr<T, GstMiniObjectUnref>;
using GstElementPtr = GstObjectPtr<GstElement>;
using GstPadPtr = GstObjectPtr<GstPad>;
using GstBusPtr = GstObjectPtr<GstBus>;
using GstCapsPtr = GstMiniObjectPtr<GstCaps>;
using GstBufferPtr = GstMiniObjectPtr<GstBuffer>;
using GstSamplePtr = GstMiniObjectPtr<GstSample>;
using GstMessagePtr = GstMiniObjectPtr<GstMessage>;
using GstQueryPtr = GstMiniObjectPtr<GstQuery>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;

// Adopts a possibly floating reference (as gst_element_factory_make returns) as a full one.
template <typename T> GstObjectPtr<T> gst_adopt_sink(T* object)
{
    if (object != nullptr)
        gst_object_ref_sink(object);
    return GstObjectPtr<T>(object);
}

// Maps a buffer for reading for the lifetime of the mapper.
class GstBufferReadMap {
public:
    explicit GstBufferReadMap(GstBuffer* buffer) : buffer_(buffer)
    {
        mapped_ = gst_buffer_map(buffer_, &info_, GST_MAP_READ);
    }
    ~GstBufferReadMap()
    {
        if (mapped_)
            gst_buffer_unmap(buffer_, &info_);
    }
    GstBufferReadMap(const GstBufferReadMap&) = delete;
    GstBufferReadMap& operator=(const GstBufferReadMap&) = delete;

    explicit operator bool() const { return mapped_; }
    const guint8* data() const { return info_.data; }
    gsize size() const { return info_.size; }

private:
    GstBuffer* buffer_;
    GstMapInfo info_{};
    bool mapped_ = false;
};
