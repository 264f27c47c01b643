// What one captured frame of a recording shows, as the robust reading tells it.
#pragma once

#include <cstdint>

enum class FrameKind : uint8_t {
    Header,     ///< all markers white, before the content
    Locator,    ///< sync mark and lip-sync marker white, counter bits black
    Content,    ///< a content frame: its source frame number is known or not
    Trailer,    ///< all markers white after the content (a later loop's header reads the same)
    Unreadable, ///< markers between their levels (a blend) or contradicting each other
    Unknown,    ///< none of these: a black screen, a picture of another size, a flash out of place
};
