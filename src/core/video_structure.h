// Splits the frame codes of a clip into header, locator, content and trailer spans and
// types every marker column.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum MarkerType : int32_t {
    MARKER_TYPE_UNKNOWN = 0,
    MARKER_TYPE_SYNCMARK = 1,
    MARKER_TYPE_FRAMEID = 2,
    MARKER_TYPE_RGB6 = 3,
};

struct MarkerClass {
    int32_t type;     ///< a MarkerType code
    int32_t interval; ///< half-period in frames for SYNCMARK and FRAMEID; 1 for RGB6
};

struct VideoStructure {
    int32_t header_frames;            ///< all-white frames from frame 0
    int32_t locator_frames;           ///< identical codes after the header; 0 unless two or more
    int32_t content_frames;           ///< frames up to the next all-white one
    int32_t trailer_frames;           ///< all-white frames after the content
    std::vector<MarkerClass> classes; ///< one per letter of the first frame code
    int32_t marker_count;             ///< length of the first frame code, 0 without frames
};

// Codes are expected to share the length of the first one. A letter missing from a
// shorter code fails every test that reads it, so broken input never reads out of bounds.
// Letters past marker_count are ignored, except by the locator's whole-code comparison.
// An allocation failure terminates the program.
VideoStructure* video_structure_analyze(const std::vector<std::string>& frame_codes) noexcept;
void video_structure_free(VideoStructure* structure);

struct VideoStructureFree {
    void operator()(VideoStructure* structure) const { video_structure_free(structure); }
};
using VideoStructurePtr = std::unique_ptr<VideoStructure, VideoStructureFree>;
