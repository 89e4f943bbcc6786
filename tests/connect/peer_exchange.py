#!/usr/bin/env python3
"""What the ICE and KCP test drivers share: a Go peer built for one run, the offer and
answer handed between two programs that each print a description ending in an END line
and read the other's the same way, and the programs ended afterwards."""
import contextlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from go_build import build_go_peer  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


@contextlib.contextmanager
def go_peer(build_dir, source="device_peer"):
    """The Go peer of tests/connect/<source>, built beside the shared Go cache and
    removed afterwards."""
    path = os.path.join(build_dir, f"{source}.{os.getpid()}")
    try:
        yield build_go_peer(os.path.join(HERE, source), path)
    finally:
        with contextlib.suppress(OSError):
            os.remove(path)


def read_block(stream):
    """The lines a program prints before its END line."""
    lines = []
    for line in stream:
        line = line.rstrip("\r\n")
        if line == "END":
            return lines
        lines.append(line)
    raise RuntimeError("ended before END: %r" % lines)


def description(lines):
    """The description lines of a block (a program may print other lines in it)."""
    return [line for line in lines if line.startswith("a=")]


def hand_over(source, target, keep=description):
    """Reads one block from `source`, writes the lines `keep` selects to `target` and
    returns the whole block."""
    block = read_block(source.stdout)
    target.stdin.write("\n".join(keep(block)) + "\nEND\n")
    target.stdin.flush()
    return block


def exchange(offerer, answerer, keep=description):
    """The offer from `offerer` to `answerer` and the answer back; both whole blocks."""
    offer = hand_over(offerer, answerer, keep)
    answer = hand_over(answerer, offerer, keep)
    return offer, answer


def end(*processes):
    """Kills what is still running and reaps it."""
    for p in processes:
        if p.poll() is None:
            p.kill()
            p.wait()
