"""Shared steps of the native video checks: run one test case under Wine that writes
the received stream as an Annex-B file with a JSON note, then probe and decode that
file with ffprobe and ffmpeg."""
import json
import os
import shutil
import subprocess
import sys

import numpy

# Mean Y of the five bars of the bars window (white, red, green, blue, black), BT.709
# studio range.
BARS_Y = [235, 63, 173, 32, 16]
TOLERANCE = 8
MARGIN = 16  # columns this close to a bar edge are left out


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def require_tools():
    for tool in ("ffprobe", "ffmpeg"):
        if shutil.which(tool) is None:
            fail(tool + " is not installed")


def run_case(wine_exec, test_exe, case, stream):
    """Runs one GoogleTest case that writes `stream` (and `stream`.json); the note."""
    env = dict(os.environ, TAVRO_ANNEXB_OUT="Z:" + stream.replace("/", "\\"))
    run = subprocess.run([wine_exec, test_exe, "--gtest_filter=" + case], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=240)
    out = run.stdout.decode(errors="replace")
    if run.returncode != 0 or "[  PASSED  ] 1 test" not in out:
        fail(case + " failed:\n" + out)
    with open(stream + ".json") as f:
        return json.load(f)


def probe(stream):
    """ffprobe's codec name, width, height and decoded frame count of an H.264 file."""
    result = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
                             "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of", "json",
                             stream], stdout=subprocess.PIPE, check=True)
    return json.loads(result.stdout)["streams"][0]


def decode_yuv420(stream, width, height, expected_frames):
    """The decoded frames as one planar YUV 4:2:0 byte string, and the frame size."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", stream, "-f", "rawvideo", "-pix_fmt",
                          "yuv420p", "-"], stdout=subprocess.PIPE, check=True).stdout
    frame_bytes = width * height * 3 // 2
    frames = len(raw) // frame_bytes
    if frames != expected_frames:
        fail("ffmpeg decoded %d frames, expected %d" % (frames, expected_frames))
    return raw, frame_bytes


def bar_means(raw, frame_bytes, frames, width, height):
    """The mean Y of each of the five bars over every decoded frame."""
    sums, counts = numpy.zeros(5), numpy.zeros(5)
    for k in range(frames):
        y = numpy.frombuffer(raw, numpy.uint8, width * height, k * frame_bytes).reshape(height, width)
        for bar in range(5):
            left, right = width * bar // 5 + MARGIN, width * (bar + 1) // 5 - MARGIN
            block = y[:, left:right]
            sums[bar] += block.sum()
            counts[bar] += block.size
    return sums / counts


def check_bars(means):
    """Fails unless every bar's mean Y is within the tolerance."""
    bad = ["bar %d: %.1f, expected %d" % (i, means[i], BARS_Y[i]) for i in range(5)
           if abs(means[i] - BARS_Y[i]) > TOLERANCE]
    if bad:
        fail("; ".join(bad))
