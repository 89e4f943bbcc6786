#!/usr/bin/env bash
# Creates (once) the Debian trixie root that holds the Windows cross toolchain and
# Wine, and runs commands inside it. Sourced by scripts/run and scripts/test.
set -euo pipefail

TOOLCHAIN_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_TOP="$(cd "$TOOLCHAIN_SCRIPTS/.." && pwd)"
PKG_LIST="$TOOLCHAIN_SCRIPTS/toolchain-packages.txt"
MIRROR="${TAVRO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

toolchain_packages() { grep -v '^\s*#' "$PKG_LIST" | grep -v '^\s*$' | sort -u; }

# The root's name carries a hash of the package list, so a changed list builds a new root.
toolchain_stamp() { toolchain_packages | sha256sum | cut -c1-12; }
TOOLCHAIN_ROOT="${TAVRO_TOOLCHAIN_ROOT:-/opt/tavro-toolchain-$(toolchain_stamp)}"

log() { printf '[toolchain] %s\n' "$*" >&2; }

host_install() {
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v bwrap >/dev/null || missing+=(bubblewrap)
  if ((${#missing[@]})); then
    log "installing on the host: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
  fi
}

ensure_toolchain() {
  [ -f "$TOOLCHAIN_ROOT/.tavro-ready" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "The toolchain root $TOOLCHAIN_ROOT is missing; creating it needs root." >&2
    exit 1
  fi
  host_install
  local tmp="$TOOLCHAIN_ROOT.partial"
  rm -rf "$tmp"
  log "creating the Debian trixie root in $TOOLCHAIN_ROOT (takes a few minutes)"
  debootstrap --variant=minbase trixie "$tmp" "$MIRROR" </dev/null >"$tmp.log" 2>&1 \
    || { tail -20 "$tmp.log" >&2; exit 1; }
  cp /etc/resolv.conf "$tmp/etc/resolv.conf" 2>/dev/null || true
  local pkgs
  pkgs=$(toolchain_packages | tr '\n' ' ')
  log "installing: $pkgs"
  chroot "$tmp" /usr/bin/env DEBIAN_FRONTEND=noninteractive bash -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends $pkgs && apt-get clean" \
    </dev/null >>"$tmp.log" 2>&1 || { tail -30 "$tmp.log" >&2; exit 1; }
  touch "$tmp/.tavro-ready"
  mv "$tmp" "$TOOLCHAIN_ROOT"
  mv "$tmp.log" "$TOOLCHAIN_ROOT.log"
  log "toolchain ready"
}

# The machine's own folders that a command line may name (/tmp, /root, /home and the
# current folder). Every command in the root sees them at their usual paths, so the one
# wineserver of a build tree (which opens the files its programs name) sees what each of
# its programs sees, whichever of scripts/run and scripts/test started it. Folders of the
# root's own system (and / itself) are never covered.
machine_file_dirs() {
  local dir seen=" "
  for dir in /tmp /root /home "$PWD"; do
    [[ "$seen" == *" $dir "* ]] && continue
    seen+="$dir "
    case "$dir" in
      / | /usr | /usr/* | /etc | /etc/* | /bin | /bin/* | /sbin | /sbin/* | /lib* | /var | /var/* | \
        /opt/tavro-toolchain-* | /proc | /proc/* | /dev | /dev/* | /sys | /sys/* | /run | /run/*) continue ;;
    esac
    [ -d "$dir" ] && printf '%s\n' "$dir"
  done
}

# Runs a command inside the root with the checkout and the machine's own folders at the
# same paths and the machine's network (native test clients reach Wine servers on
# 127.0.0.1). Already inside the root (a test that runs scripts/run), the command runs
# as it is. Ctrl+C and a closed terminal are meant for the program the command runs, not
# for bwrap: bwrap ignores them and the command starts with the usual signal handling.
in_toolchain() {
  if [ -f /.tavro-ready ] && [ -d "$REPO_TOP" ]; then
    (cd "$REPO_TOP" && "$@")
    return
  fi
  ensure_toolchain
  local dirs=() binds=() dir
  mapfile -t dirs < <(machine_file_dirs)
  for dir in "${dirs[@]}"; do binds+=(--bind "$dir" "$dir"); done
  local joined
  joined=$(IFS=:; printf '%s' "${dirs[*]}")
  (
    trap '' INT QUIT HUP
    exec bwrap --bind "$TOOLCHAIN_ROOT" / \
      --dev-bind /dev /dev --proc /proc "${binds[@]}" \
      --bind "$REPO_TOP" "$REPO_TOP" \
      --ro-bind /etc/resolv.conf /etc/resolv.conf \
      --setenv HOME /root --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      --setenv TAVRO_MACHINE_DIRS "$joined:$REPO_TOP" \
      --chdir "$REPO_TOP" \
      --die-with-parent \
      env --default-signal=INT,QUIT,HUP "$@"
  )
}
