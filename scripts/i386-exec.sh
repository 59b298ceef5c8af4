#!/usr/bin/env bash
# How 32-bit x86 Linux programs run on this machine, and the emulator
# registration that lets them run where the kernel refuses them.
#
# Usage: scripts/i386-exec.sh status    prints native, emulated or none
#        scripts/i386-exec.sh explain   one line for people
#        scripts/i386-exec.sh enable    registers qemu-i386 with binfmt_misc
#        scripts/i386-exec.sh disable   removes that registration
#
# Some kernels run 32-bit x86 programs natively, some stop them with "Exec
# format error". Where binfmt_misc works, a registration of the user-mode
# emulator qemu-i386 (Debian package qemu-user) for 32-bit x86 ELF files,
# executables and position-independent ones alike, makes them run anyway.
# While that registration is active it takes precedence over the native
# loader, so "emulated" is reported whenever it is present. enable and
# disable need root (or sudo) and are safe to run twice.
set -u

entry=pelrin-i386
binfmt=/proc/sys/fs/binfmt_misc
qemu=${PELRIN_QEMU_I386:-/usr/bin/qemu-i386}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# An emulator registration for 32-bit x86 programs is active: ours, or the
# one Debian's qemu-user-binfmt package makes.
registered() {
  local e
  for e in "$binfmt/$entry" "$binfmt/qemu-i386"; do
    [ -f "$e" ] && head -n 1 "$e" | grep -qx enabled && return 0
  done
  return 1
}

# Builds and runs a tiny 32-bit program; true when it runs.
runs_32bit() {
  local dir ok=1
  dir=$(mktemp -d "${TMPDIR:-/tmp}/pelrin-i386.XXXXXX") || return 1
  printf 'int main(void) { return 42; }\n' >"$dir/t.c"
  if gcc -m32 -o "$dir/t" "$dir/t.c" >/dev/null 2>&1; then
    "$dir/t" >/dev/null 2>&1
    [ $? -eq 42 ] && ok=0
  fi
  rm -rf "$dir"
  return $ok
}

status() {
  if registered && runs_32bit; then echo emulated
  elif runs_32bit; then echo native
  else echo none
  fi
}

enable() {
  if [ -f "$binfmt/$entry" ]; then
    echo "i386-exec: $entry is already registered"
    return 0
  fi
  [ -x "$qemu" ] || { echo "i386-exec: $qemu not found (Debian: qemu-user)" >&2; return 1; }
  if [ ! -f "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
      || { echo "i386-exec: cannot mount binfmt_misc on $binfmt" >&2; return 1; }
  fi
  # ELF, 32-bit, little-endian, machine 3 (i386); the type mask admits both
  # executables (2) and position-independent executables (3). The F flag
  # opens the emulator now, so it works in any mount namespace later.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':%s:M::%s:%s:%s:F' "$entry" "$magic" "$mask" "$qemu" | $SUDO tee "$binfmt/register" >/dev/null \
    || { echo "i386-exec: the kernel refused the registration" >&2; return 1; }
  echo "i386-exec: registered $qemu for 32-bit x86 programs"
}

disable() {
  if [ -f "$binfmt/$entry" ]; then
    echo -1 | $SUDO tee "$binfmt/$entry" >/dev/null && echo "i386-exec: removed $entry"
  fi
  return 0
}

case ${1:-status} in
  status) status ;;
  explain)
    case $(status) in
      native) echo "32-bit x86 programs run natively" ;;
      emulated) echo "32-bit x86 programs run under qemu-i386 (binfmt_misc)" ;;
      none) echo "32-bit x86 programs cannot run here (no native support, no emulator registered)" ;;
    esac ;;
  enable) enable ;;
  disable) disable ;;
  -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' ;;
  *) echo "i386-exec: unknown command '$1' (status, explain, enable, disable)" >&2; exit 2 ;;
esac
