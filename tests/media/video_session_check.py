#!/usr/bin/env python3
"""Decodes a real session's video stream with native ffprobe and ffmpeg.

Runs one case of the video session test under Wine (the device test client writes what
it received as an Annex-B file plus a JSON note), then checks natively: H.264, the picture
size, one decoded frame per VideoFrame message and, with --bars, the mean Y of each of
the five colour bars the test painted (white, red, green, blue, black; BT.709 studio range).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy

BARS_Y = [235, 63, 173, 32, 16]
TOLERANCE = 8
MARGIN = 16  # columns this close to a bar edge are left out


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def main():
    wine_exec, test_exe, case, width, height = sys.argv[1:6]
    width, height, bars = int(width), int(height), "--bars" in sys.argv[6:]
    for tool in ("ffprobe", "ffmpeg"):
        if shutil.which(tool) is None:
            fail(tool + " is not installed")
    work = tempfile.mkdtemp(prefix="tavro-session-video-")
    try:
        stream = os.path.join(work, "session.h264")
        env = dict(os.environ, TAVRO_ANNEXB_OUT="Z:" + stream.replace("/", "\\"))
        run = subprocess.run([wine_exec, test_exe, "--gtest_filter=" + case], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=240)
        out = run.stdout.decode(errors="replace")
        if run.returncode != 0 or "[  PASSED  ] 1 test" not in out:
            fail("session test failed:\n" + out)
        with open(stream + ".json") as f:
            meta = json.load(f)

        probe = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
                                "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of", "json",
                                stream], stdout=subprocess.PIPE, check=True)
        info = json.loads(probe.stdout)["streams"][0]
        if info["codec_name"] != "h264":
            fail("codec " + info["codec_name"])
        got = (int(info["width"]), int(info["height"]))
        if got != (width, height) or got != (meta["width"], meta["height"]):
            fail("decoded size %dx%d, expected %dx%d, VideoFormat said %dx%d"
                 % (got + (width, height, meta["width"], meta["height"])))
        if int(info["nb_read_frames"]) != meta["videoFrames"] or meta["videoFrames"] < 1:
            fail("%s frames decoded, %d VideoFrame messages" % (info["nb_read_frames"], meta["videoFrames"]))

        raw = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", stream, "-f", "rawvideo", "-pix_fmt",
                              "yuv420p", "-"], stdout=subprocess.PIPE, check=True).stdout
        frame_bytes = width * height * 3 // 2
        frames = len(raw) // frame_bytes
        if frames != meta["videoFrames"]:
            fail("ffmpeg decoded %d frames, expected %d" % (frames, meta["videoFrames"]))
        if bars:
            sums, counts = numpy.zeros(5), numpy.zeros(5)
            for k in range(frames):
                y = numpy.frombuffer(raw, numpy.uint8, width * height, k * frame_bytes).reshape(height, width)
                for bar in range(5):
                    left, right = width * bar // 5 + MARGIN, width * (bar + 1) // 5 - MARGIN
                    block = y[:, left:right]
                    sums[bar] += block.sum()
                    counts[bar] += block.size
            means = sums / counts
            print("decoded %d frames of %dx%d; bar Y means %s" % (frames, width, height, numpy.round(means, 1).tolist()))
            bad = ["bar %d: %.1f, expected %d" % (i, means[i], BARS_Y[i]) for i in range(5)
                   if abs(means[i] - BARS_Y[i]) > TOLERANCE]
            if bad:
                fail("; ".join(bad))
        else:
            print("decoded %d frames of %dx%d" % (frames, width, height))
        print("PASS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
