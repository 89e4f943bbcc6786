#!/usr/bin/env python3
"""Runs the audio end-to-end test program under Wine, then analyses the WAV it wrote:
the tone's frequency, its level against the source, and gaps (frames against time)."""
import json
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

SOURCE_HZ = 1000.0
SOURCE_RMS = 0.5 * 32767 / np.sqrt(2)  # a sine at half scale


def main() -> int:
    wine_exec, program = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        wav_path = os.path.join(tmp, "audio.wav")
        env = dict(os.environ, TAVRO_AUDIO_WAV="Z:" + wav_path.replace("/", "\\"))
        run = subprocess.run([wine_exec, program], env=env, timeout=120)
        if run.returncode != 0:
            print(f"test program failed with {run.returncode}")
            return 1
        with wave.open(wav_path, "rb") as w:
            rate, channels = w.getframerate(), w.getnchannels()
            frames = w.getnframes()
            data = np.frombuffer(w.readframes(frames), dtype="<i2").reshape(-1, channels)
        meta = json.load(open(wav_path + ".json"))
    failures = []
    if rate != 48000 or channels != 2:
        failures.append(f"format {rate} Hz x {channels}")
    left = data[:, 0].astype(np.float64)
    spectrum = np.abs(np.fft.rfft(left * np.hanning(len(left))))
    peak_hz = np.argmax(spectrum) * rate / len(left)
    if abs(peak_hz - SOURCE_HZ) > 5:
        failures.append(f"tone at {peak_hz:.1f} Hz")
    rms = np.sqrt(np.mean(left ** 2))
    level_db = 20 * np.log10(rms / SOURCE_RMS)
    if abs(level_db) > 1:
        failures.append(f"level {level_db:+.2f} dB")
    # The frames between the first and the last message's arrival, against the time.
    expected = meta["elapsed_s"] * rate
    received = frames - meta["first_batch_frames"]
    if expected <= 0 or abs(received - expected) > 0.05 * expected:
        failures.append(f"{received} frames in {meta['elapsed_s']:.3f} s")
    print(f"audio: {peak_hz:.1f} Hz, {level_db:+.2f} dB, {received} frames in {meta['elapsed_s']:.3f} s "
          f"({meta['messages']} messages)")
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
