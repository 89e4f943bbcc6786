// The console's audio diagnostic: measures what the capture delivers, with and without
// the speaker mute.
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "media/console_diagnostics.h"
#include "media/audio_capture.h"

namespace kelm {

int RunAudioTest() {
  std::mutex mutex;
  double sum = 0;
  uint64_t count = 0;
  AudioCapture capture;
  capture.Start(
      [&](const int16_t* samples, size_t frames, uint32_t) {
        double local = 0;
        for (size_t i = 0; i < frames * 2; ++i) local += static_cast<double>(samples[i]) * samples[i];
        std::lock_guard lock(mutex);
        sum += local;
        count += frames * 2;
      },
      nullptr);
  bool any = false;
  for (int i = 0; i < 100 && !any; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(mutex);
    any = count > 0;
  }
  if (!any) {
    std::printf("no audio captured after 10 s (blocked by security software, or nothing is playing)\n");
    std::fflush(stdout);
    capture.Stop();
    return 1;
  }
  {
    std::lock_guard lock(mutex);
    sum = 0;
    count = 0;
  }
  for (int period = 0; period < 12; ++period) {
    if (period == 4) capture.SetMuteRequested(true);
    if (period == 8) capture.SetMuteRequested(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::lock_guard lock(mutex);
    const double rms = count ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
    std::printf("%5d ms  %-9s rms %7.1f  (%zu samples)\n", (period + 1) * 250,
                period >= 4 && period <= 7 ? "silenced" : "normal", rms, static_cast<size_t>(count));
    std::fflush(stdout);
    sum = 0;
    count = 0;
  }
  capture.Stop();
  return 0;
}

}  // namespace kelm
