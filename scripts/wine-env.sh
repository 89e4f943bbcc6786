#!/usr/bin/env bash
# Sourced inside the toolchain root: the one Wine environment of a build tree (its prefix,
# a virtual display and a wineserver kept alive, so each program pays ~40 ms instead of
# Wine's whole start-up), shared by every scripts/run and scripts/test of that tree.
#
# The first run in starts the display and the server, later runs join them, and the last
# run out ends them. Each run is recorded as "pid start-time" in users/ under the
# environment's folder; a record whose process is gone belongs to a run that was killed,
# and a display or server whose runs are all gone is ended and replaced by the next start.
# The display and the server run in sessions of their own, so the terminal's Ctrl+C never
# reaches them. TAVRO_WINE_ENV_DIR names another environment folder (its prefix inside
# it) for tests of the environment itself; TAVRO_DISPLAY names an X display to use
# instead of a virtual one.

# The build tree of a checkout: TAVRO_BUILD_DIR (relative to the checkout) or build/.
wine_env_build_dir() {
  local top="$1" build="${TAVRO_BUILD_DIR:-build}"
  case "$build" in /*) ;; *) build="$top/$build" ;; esac
  printf '%s\n' "$build"
}

wine_env_paths() {
  local build="$1"
  if [ -n "${TAVRO_WINE_ENV_DIR:-}" ]; then
    WINE_ENV_DIR="$TAVRO_WINE_ENV_DIR"
    export WINEPREFIX="$WINE_ENV_DIR/wineprefix"
  else
    WINE_ENV_DIR="$build/wine-env"
    export WINEPREFIX="$build/wineprefix"
  fi
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export XDG_RUNTIME_DIR="$WINE_ENV_DIR/xdg-runtime"
  # Wine's H.264 encoder wraps the highest-ranked GStreamer H.264 encoder and answers
  # E_NOTIMPL to every encoder setting. x264enc (ranked first by default) then runs with
  # B-frames and a long look-ahead, so frames leave out of order and late; openh264enc
  # makes no B-frames, as the Windows encoder does when told so.
  export GST_PLUGIN_FEATURE_RANK="openh264enc:MAX"
}

# "pid start-time" of a running process (the start time tells a reused pid apart); fails
# for a process that has ended, even one still waiting to be reaped.
wine_env_record() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- "$1" $stat
  case "$2" in Z | X | x) return 1 ;; esac
  printf '%s %s\n' "$1" "${21}"
}

# True when the process recorded in file $1 ("pid start-time ...") still runs.
wine_env_recorded_alive() {
  local pid start rest now
  [ -f "$1" ] || return 1
  read -r pid start rest <"$1" || return 1
  now=$(wine_env_record "$pid") || return 1
  [ "$now" = "$pid $start" ]
}

wine_env_recorded_pid() {
  local pid rest
  read -r pid rest <"$1" && printf '%s\n' "$pid"
}

wine_env_prune_users() {
  local f
  for f in "$WINE_ENV_DIR"/users/*; do
    [ -e "$f" ] || continue
    wine_env_recorded_alive "$f" || rm -f "$f"
  done
}

wine_env_user_count() {
  local f n=0
  for f in "$WINE_ENV_DIR"/users/*; do [ -e "$f" ] && n=$((n + 1)); done
  printf '%s\n' "$n"
}

# Waits up to $2 tenths of a second for the recorded process $1 to end.
wine_env_wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do
    wine_env_recorded_alive "$1" || return 0
    sleep 0.1
  done
  return 1
}

# Ends the server (and with it every program of the prefix) and the display.
wine_env_end_all() {
  local server="$WINE_ENV_DIR/wineserver.pid" xvfb="$WINE_ENV_DIR/xvfb.pid"
  # Also reaches a server that a program started by itself after ours had gone.
  wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
  if ! wine_env_wait_gone "$server" 100; then
    kill -KILL "$(wine_env_recorded_pid "$server")" 2>/dev/null || true
    wine_env_wait_gone "$server" 20 || true
  fi
  if wine_env_recorded_alive "$xvfb"; then
    kill "$(wine_env_recorded_pid "$xvfb")" 2>/dev/null || true
    wine_env_wait_gone "$xvfb" 50 || kill -KILL "$(wine_env_recorded_pid "$xvfb")" 2>/dev/null || true
  fi
  rm -f "$server" "$xvfb" "$WINE_ENV_DIR/display" "$WINE_ENV_DIR/reach"
}

wine_env_start_display() {
  local xvfb="$WINE_ENV_DIR/xvfb.pid"
  if [ -n "${TAVRO_DISPLAY:-}" ]; then
    printf '%s\n' "$TAVRO_DISPLAY" >"$WINE_ENV_DIR/display"
    return 0
  fi
  # -displayfd picks a free number (abstract X sockets are shared with the machine's
  # network namespace).
  local fifo="$XDG_RUNTIME_DIR/displayfd" n pid
  rm -f "$fifo"
  mkfifo "$fifo"
  setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" </dev/null >/dev/null 2>&1 9>&- &
  pid=$!
  if ! read -r -t 20 n <"$fifo"; then
    rm -f "$fifo"
    kill "$pid" 2>/dev/null
    echo "Xvfb did not start" >&2
    return 1
  fi
  rm -f "$fifo"
  wine_env_record "$pid" >"$xvfb"
  printf ':%s\n' "$n" >"$WINE_ENV_DIR/display"
}

wine_env_start_server() {
  local pid i
  # wineserver refuses a prefix folder that does not exist yet (a fresh clone).
  mkdir -p "$WINEPREFIX"
  setsid wineserver -f -p </dev/null >/dev/null 2>&1 9>&- &
  pid=$!
  wine_env_record "$pid" >"$WINE_ENV_DIR/wineserver.pid"
  # Ready once its socket is there: the server works in the folder of its socket
  # (Debian's Wine: /run/user/<uid>/wine when that exists, else a folder under /tmp that
  # the prefix names).
  for ((i = 0; i < 400; i++)); do
    [ -S "/proc/$pid/cwd/socket" ] && break
    if ! wine_env_recorded_alive "$WINE_ENV_DIR/wineserver.pid"; then
      echo "wineserver did not start" >&2
      return 1
    fi
    sleep 0.05
  done
  # wineboot first: otherwise services.exe is started by the first program and keeps
  # the caller's output pipe (ctest's) open.
  wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
  wine_env_prefix_settings
  printf '%s\n' "${TAVRO_MACHINE_DIRS:-}" >"$WINE_ENV_DIR/reach"
}

# Prints the value $3 of key $2 as the saved registry file $1 writes it ("" for an empty
# string); fails when the file does not hold it. Key and value names as the file writes
# them, compared without regard to case.
wine_env_reg_value() {
  [ -f "$1" ] || return 1
  REG_KEY="[$2]" REG_NAME="\"$3\"=" awk '
    BEGIN { key = tolower(ENVIRON["REG_KEY"]); name = tolower(ENVIRON["REG_NAME"]) }
    /^\[/ { inside = index(tolower($0), key) == 1; next }
    inside && index(tolower($0), name) == 1 { value = substr($0, length(name) + 1); found = 1 }
    END { if (found) print value; exit found ? 0 : 1 }' "$1"
}

# Two settings every run relies on, made once per server start and only when the saved
# registry does not show them already: a crashing program ends at once with its
# exception code instead of waiting in winedbg, and no run starts with the PC counted
# as locked by the lock-state stand-in.
wine_env_prefix_settings() {
  local reg="$WINEPREFIX/system.reg" edits=""
  if [ "$(wine_env_reg_value "$reg" 'Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug' Debugger)" != '""' ]; then
    edits+='[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]'$'\n''"Debugger"=""'$'\n'
  fi
  if wine_env_reg_value "$reg" 'Software\\tavro\\WineStandIn' LockedSession >/dev/null; then
    edits+='[HKEY_LOCAL_MACHINE\Software\tavro\WineStandIn]'$'\n''"LockedSession"=-'$'\n'
  fi
  [ -n "$edits" ] || return 0
  local file="$XDG_RUNTIME_DIR/settings.reg"
  printf 'Windows Registry Editor Version 5.00\n\n%s' "$edits" >"$file"
  wine reg import "Z:${file//\//\\}" </dev/null >/dev/null 2>&1 9>&- ||
    echo "note: could not apply the prefix settings in $file" >&2
  rm -f "$file"
}

# Joins (or starts) the environment of build tree $1 and leaves it when the shell exits.
wine_env_start() {
  wine_env_paths "$1"
  mkdir -p "$WINE_ENV_DIR/users" "$XDG_RUNTIME_DIR"
  chmod 0700 "$XDG_RUNTIME_DIR"
  exec 9>"$WINE_ENV_DIR/lock"
  flock 9
  local rc=0
  wine_env_join || rc=$?
  flock -u 9
  exec 9>&-
  [ "$rc" = 0 ] || return "$rc"
  export DISPLAY
  DISPLAY=$(cat "$WINE_ENV_DIR/display")
  trap wine_env_stop EXIT
}

# With the lock held: prune the records of killed runs, end what only they used, start
# what is missing and record this run.
wine_env_join() {
  wine_env_prune_users
  if [ "$(wine_env_user_count)" = 0 ]; then
    wine_env_end_all
  elif [ -n "${TAVRO_DISPLAY:-}" ] && [ "$TAVRO_DISPLAY" != "$(cat "$WINE_ENV_DIR/display" 2>/dev/null)" ]; then
    echo "The Wine environment of this tree runs on display $(cat "$WINE_ENV_DIR/display" 2>/dev/null);" \
      "TAVRO_DISPLAY=$TAVRO_DISPLAY can be used once its programs have ended." >&2
    return 1
  fi
  if [ ! -f "$WINE_ENV_DIR/display" ] ||
    { [ -f "$WINE_ENV_DIR/xvfb.pid" ] && ! wine_env_recorded_alive "$WINE_ENV_DIR/xvfb.pid"; }; then
    wine_env_start_display || return 1
  fi
  DISPLAY=$(cat "$WINE_ENV_DIR/display")
  export DISPLAY
  if ! wine_env_recorded_alive "$WINE_ENV_DIR/wineserver.pid"; then
    wine_env_start_server || return 1
  fi
  wine_env_record "$$" >"$WINE_ENV_DIR/users/$$"
}

# True when the environment's server can open files under folder $1 (it sees the
# folders of the run that started it).
wine_env_reaches() {
  local dir reach
  reach=$(cat "$WINE_ENV_DIR/reach" 2>/dev/null) || return 0
  local IFS=:
  for dir in $reach; do
    [ -n "$dir" ] || continue
    case "$1/" in "$dir"/*) return 0 ;; esac
  done
  return 1
}

wine_env_stop() {
  [ -n "${WINE_ENV_DIR:-}" ] || return 0
  exec 9>"$WINE_ENV_DIR/lock"
  flock 9
  rm -f "$WINE_ENV_DIR/users/$$"
  wine_env_prune_users
  [ "$(wine_env_user_count)" = 0 ] && wine_env_end_all
  flock -u 9
  exec 9>&-
  return 0
}
