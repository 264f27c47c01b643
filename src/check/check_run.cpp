#include "check/check_run.h"

namespace skelv {

namespace {

// The first decode: every frame and every sound buffer to the session. False with `*error`
// when the source fails before it delivered anything.
bool read_everything(const SourceRequest& request, CheckSession* session, MediaError* error)
{
    std::unique_ptr<MediaSource> source = MediaSource::open(request, {}, error);
    if (!source)
        return false;
    session->describe({source->streams(), source->demuxer(), source->declared_framerate(), source->duration_ns()});
    MediaFrame frame;
    MediaSound sound;
    bool delivered = false;
    for (MediaItem item; (item = source->next(&frame, &sound, error)) != MediaItem::End; delivered = true) {
        if (item == MediaItem::Frame) {
            if (frame.index == 0)
                session->learn_framerate(source->declared_framerate());
            session->take_frame(frame);
        } else if (item == MediaItem::Sound) {
            session->take_sound(sound);
        } else if (item == MediaItem::Idle || item == MediaItem::Interrupted) {
            continue;
        } else if (!delivered) {
            return false;
        } else {
            // What was read stays: a recording cut short is still worth its events.
            session->stopped_early(error->message);
            break;
        }
    }
    session->take_warnings(source->take_warnings());
    session->update_streams(source->streams()); // languages a demuxer told late
    return true;
}

// The picture again from its first frame, for as long as the session wants it.
bool read_picture_again(const SourceRequest& request, CheckSession* session, MediaError* error)
{
    MediaSourceOptions options;
    options.audio = false;
    std::unique_ptr<MediaSource> source = MediaSource::open(request, options, error);
    if (!source)
        return false;
    MediaFrame frame;
    MediaSound none;
    for (MediaItem item; (item = source->next(&frame, &none, error)) != MediaItem::End;) {
        if (item == MediaItem::Failed || item == MediaItem::Interrupted)
            return false;
        if (item == MediaItem::Frame && !session->reread_frame(frame))
            break;
    }
    return true;
}

} // namespace

bool read_recording(const SourceRequest& source, CheckSession* session, MediaError* error)
{
    return read_everything(source, session, error) &&
           (!session->wants_second_decode() || read_picture_again(source, session, error));
}

bool check_recording(const SourceRequest& source, const CheckOptions& options, CheckResult* result, MediaError* error)
{
    *result = CheckResult{};
    CheckSession session(options);
    if (!read_recording(source, &session, error))
        return false;
    session.finish(result);
    result->file = source.location;
    return true;
}

} // namespace skelv
