#pragma once

#include <memory>

#include "server/screen_source.h"

namespace sonacap {

// An X11 desktop without a screen-cast portal: the recorder's own picker, the chosen display,
// window or application read from the X server ten times a second, and its sound through the
// sound server (a window's or an application's own playback streams only).
std::unique_ptr<ScreenSource> makeX11ScreenSource();

}  // namespace sonacap
