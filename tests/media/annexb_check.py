"""Shared steps of the native video checks: run one test case under Wine that writes
the received stream as an Annex-B file with a JSON note, then probe and decode that
file with ffprobe and ffmpeg."""
import json
import os
import shutil
import subprocess
import sys


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
