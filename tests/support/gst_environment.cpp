// Initialises GStreamer and the analyser's debug category once for a test program.
#include "media/log.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

namespace {

struct GstEnvironment : ::testing::Environment {
    void SetUp() override { gst_init(nullptr, nullptr); skelv_log_init(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

} // namespace
