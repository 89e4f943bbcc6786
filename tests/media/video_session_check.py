#!/usr/bin/env python3
"""Decodes a real session's video stream with native ffprobe and ffmpeg.

Runs one case of the video session test under Wine (the device test client writes what
it received as an Annex-B file plus a JSON note), then checks natively: H.264, the picture
size, one decoded frame per VideoFrame message and, with --bars, the mean Y of each of
the five colour bars the test painted (white, red, green, blue, black; BT.709 studio range).
"""
import os
import shutil
import sys
import tempfile

import numpy

from annexb_check import bar_means, check_bars, decode_yuv420, fail, probe, require_tools, run_case


def main():
    wine_exec, test_exe, case, width, height = sys.argv[1:6]
    width, height, bars = int(width), int(height), "--bars" in sys.argv[6:]
    require_tools()
    work = tempfile.mkdtemp(prefix="tavro-session-video-")
    try:
        stream = os.path.join(work, "session.h264")
        meta = run_case(wine_exec, test_exe, case, stream)
        info = probe(stream)
        if info["codec_name"] != "h264":
            fail("codec " + info["codec_name"])
        got = (int(info["width"]), int(info["height"]))
        if got != (width, height) or got != (meta["width"], meta["height"]):
            fail("decoded size %dx%d, expected %dx%d, VideoFormat said %dx%d"
                 % (got + (width, height, meta["width"], meta["height"])))
        if int(info["nb_read_frames"]) != meta["videoFrames"] or meta["videoFrames"] < 1:
            fail("%s frames decoded, %d VideoFrame messages" % (info["nb_read_frames"], meta["videoFrames"]))

        raw, frame_bytes = decode_yuv420(stream, width, height, meta["videoFrames"])
        frames = meta["videoFrames"]
        if bars:
            means = bar_means(raw, frame_bytes, frames, width, height)
            print("decoded %d frames of %dx%d; bar Y means %s" % (frames, width, height, numpy.round(means, 1).tolist()))
            check_bars(means)
        else:
            print("decoded %d frames of %dx%d" % (frames, width, height))
        print("PASS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
