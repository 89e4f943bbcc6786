#!/usr/bin/env python3
"""Builds one of the test tree's Go peers offline from the Debian-packaged Go sources."""
import os
import subprocess

GOPATH = "/usr/share/gocode"


def build_go_peer(source_dir, output):
    env = dict(os.environ, GOPATH=GOPATH, GO111MODULE="off", GOFLAGS="", GOPROXY="off",
               GOCACHE=os.path.join(os.path.dirname(os.path.abspath(output)), "gocache"),
               CGO_ENABLED="0")
    subprocess.run(["go", "build", "-o", output, "."], cwd=source_dir, env=env, check=True)
    return output
