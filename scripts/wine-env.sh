#!/usr/bin/env bash
# Sourced inside the toolchain root: a private Wine prefix, a virtual display and a
# wineserver kept alive, so each test pays ~40 ms instead of Wine's whole start-up.
wine_env_start() {
  local build="$1"
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export XDG_RUNTIME_DIR="$build/xdg-runtime"
  # Wine's H.264 encoder wraps the highest-ranked GStreamer H.264 encoder and answers
  # E_NOTIMPL to every encoder setting. x264enc (ranked first by default) then runs with
  # B-frames and a long look-ahead, so frames leave out of order and late; openh264enc
  # makes no B-frames, as the Windows encoder does when told so.
  export GST_PLUGIN_FEATURE_RANK="openh264enc:MAX"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
  # Our own virtual display; -displayfd picks a free number (abstract X sockets are
  # shared with the machine's network namespace).
  local fifo="$XDG_RUNTIME_DIR/displayfd"
  rm -f "$fifo"; mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" </dev/null >/dev/null 2>&1 &
  WINE_ENV_XVFB=$!
  local n
  read -r -t 20 n <"$fifo" || { echo "Xvfb did not start" >&2; return 1; }
  rm -f "$fifo"
  export DISPLAY=":$n"
  # wineserver refuses a prefix folder that does not exist yet (a fresh clone).
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start" >&2; return 1; }
  # wineboot first: otherwise services.exe is started by the first test and keeps
  # ctest's output pipe open.
  wine wineboot </dev/null >/dev/null 2>&1 || true
  trap wine_env_stop EXIT
}

wine_env_stop() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "${WINE_ENV_XVFB:-}" ] && kill "$WINE_ENV_XVFB" 2>/dev/null
  return 0
}
