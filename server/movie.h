#pragma once

#include "server/screen_source.h"

namespace sonacap {

// The movie file as FFmpeg writes it: H.264 at a constant ten frames a second and AAC, in an
// MP4 written in fragments as it goes, so that a recorder that is killed leaves a file that
// plays up to its last whole fragment. Frame and sound times are seconds on the steady clock.
std::variant<std::unique_ptr<RecordingOutput>, ScreenError> makeMovie(
    const std::string& path, CaptureSize size, RecordingOutput::Events events);

}  // namespace sonacap
