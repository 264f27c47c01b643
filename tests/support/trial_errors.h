// Makes, in-process, every demuxer post an error while decodebin tries it: the bin sets a new
// element to READY on trial and drops the errors it posts meanwhile, yet keeps the element when
// the state change succeeds. A demuxer failing at once in its own thread (an MP4 cut before
// its index) meets that now and then; this meets it every time.
#pragma once

#include <string>

class ErrorsDuringDemuxerTrials {
public:
    // While this lives, each demuxer reaching READY posts an error saying `text`.
    explicit ErrorsDuringDemuxerTrials(std::string text);
    ~ErrorsDuringDemuxerTrials();
    ErrorsDuringDemuxerTrials(const ErrorsDuringDemuxerTrials&) = delete;
    ErrorsDuringDemuxerTrials& operator=(const ErrorsDuringDemuxerTrials&) = delete;
};
