#!/bin/sh
# Stands in for the desktop's xdg-open that Wine's winebrowser runs for http(s) links:
# records each argument on a line of its own beside itself, opens nothing.
here=$(dirname "$0")
for a in "$@"; do printf '%s\n' "$a"; done >> "$here/opened.txt"
