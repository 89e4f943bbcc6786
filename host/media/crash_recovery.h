#pragma once
// Undoes speaker muting and display changes left by a run that ended unexpectedly.
#include "media/audio_capture.h"
#include "media/display_config.h"

namespace kelm {

inline void RecoverMutedSpeakers() { AudioCapture::RecoverMutedSpeakers(); }
// RestoreDisplaysAfterCrash comes from the display configuration.

}  // namespace kelm
