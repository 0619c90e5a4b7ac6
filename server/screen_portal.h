#pragma once

#include <memory>

#include "server/screen_source.h"

namespace sonacap {

// The desktop's screen-cast portal on the session bus: its picker, the PipeWire video stream
// of what was chosen, and the default output's sound through the sound server.
std::unique_ptr<ScreenSource> makePortalScreenSource();

}  // namespace sonacap
