#!/usr/bin/env python3
"""Checks the host's encoded video with native ffprobe and ffmpeg.

Runs the encoder test's colour-bar case under Wine, which writes the CodecConfig and
VideoFrame payloads as one Annex-B file (plus a JSON note of sizes and stamps), then
decodes that file natively: the picture size, the frame count (one per VideoFrame
message) and the mean Y/U/V of each moving bar must match BT.709 studio range.
"""
import os
import shutil
import sys
import tempfile

import numpy

from annexb_check import decode_yuv420, fail, probe, require_tools, run_case

EXPECTED = [(235, 128, 128), (63, 102, 240), (173, 42, 26), (32, 240, 118), (16, 128, 128)]
TOLERANCE = 6
MARGIN = 16  # columns this close to a bar edge are left out


def main():
    wine_exec, test_exe = sys.argv[1], sys.argv[2]
    require_tools()
    work = tempfile.mkdtemp(prefix="tavro-video-")
    try:
        stream = os.path.join(work, "bars.h264")
        meta = run_case(wine_exec, test_exe, "EncoderTest.ColourBarsThroughThePacketiser", stream)
        info = probe(stream)
        width, height = int(info["width"]), int(info["height"])
        if (width, height) != (meta["width"], meta["height"]) or (width, height) != (1366, 768):
            fail("decoded size %dx%d, encoder said %dx%d" % (width, height, meta["width"], meta["height"]))
        if int(info["nb_read_frames"]) != meta["videoFrames"]:
            fail("%s frames decoded, %d VideoFrame messages sent" % (info["nb_read_frames"], meta["videoFrames"]))

        raw, frame_bytes = decode_yuv420(stream, width, height, meta["videoFrames"])
        frames = meta["videoFrames"]
        stamps = meta["stamps"]
        if any(a >= b for a, b in zip(stamps, stamps[1:])):
            fail("frame stamps do not strictly increase: %s" % stamps[:20])
        source_width, shift = meta["sourceWidth"], meta["shift"]
        sums = numpy.zeros((5, 3))
        counts = numpy.zeros((5, 3))
        for k in range(frames):
            index = round(stamps[k] * meta["fps"] / 1e6)
            frame = numpy.frombuffer(raw, numpy.uint8, frame_bytes, k * frame_bytes)
            planes = [frame[:width * height].reshape(height, width),
                      frame[width * height:width * height * 5 // 4].reshape(height // 2, width // 2),
                      frame[width * height * 5 // 4:].reshape(height // 2, width // 2)]
            for plane, scale in ((0, 1), (1, 2), (2, 2)):
                for x in range(0, width, scale):
                    sx = (x * source_width / width + index * shift) % source_width
                    bar = int(sx * 5 // source_width)
                    edge = min(sx - bar * source_width / 5, (bar + 1) * source_width / 5 - sx)
                    if edge < MARGIN:
                        continue
                    column = planes[plane][:, x // scale]
                    sums[bar][plane] += column.sum()
                    counts[bar][plane] += column.size
        means = sums / counts
        bad = []
        for bar, expected in enumerate(EXPECTED):
            for plane in range(3):
                if abs(means[bar][plane] - expected[plane]) > TOLERANCE:
                    bad.append("bar %d plane %d: %.1f, expected %d" % (bar, plane, means[bar][plane], expected[plane]))
        print("decoded %d frames of %dx%d; bar means %s" % (frames, width, height,
                                                           numpy.round(means, 1).tolist()))
        if bad:
            fail("; ".join(bad))
        print("PASS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
