// libavformat and libavcodec, loaded when a clip first takes the general path rather than when the
// program starts: they bring some 130 libraries with them, whose loading took most of the program's
// start, and the box path needs none of them (libavutil, small, stays linked). The functions the
// program calls are defined in libav_library.cpp, each handing its call on to the loaded library.
#pragma once

#include "platform/error.h"

namespace kelvatta {

// Loads both libraries once; later calls give the first outcome. An error says which library could
// not be loaded and why (the dynamic loader's text). Each way into libavformat calls it first, so
// that a missing library is told as such rather than as a file libavformat could not read.
ErrorOr<void> loadLibav();

}  // namespace kelvatta
