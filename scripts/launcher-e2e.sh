#!/usr/bin/env bash
# End-to-end test of the cross-built launcher.exe under Wine on a virtual X
# display: toggles the start-up options through the menu and checks the check
# marks on screen, picks a ROM image in the real open-file dialog, checks the
# exact command line that a stand-in emulator "morvane" receives and that the
# window hides while it runs and comes back, then leaves by File > Exit.
#
# Usage: scripts/launcher-e2e.sh path/to/launcher.exe [WORK_DIR]
#
# WORK_DIR (default: a new temporary folder) receives a fresh Wine prefix
# of the program's own architecture (32-bit for an i686 launcher.exe, 64-bit
# for an x86-64 one), the logs and the screenshot launcher-options-checked.png.
# Needs Xvfb, xdotool, xwininfo, xwd, Wine for that architecture, python3 and
# the matching mingw-w64 C compiler and objdump. Exits 0 only if every check
# passed.
set -uo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 path/to/launcher.exe [WORK_DIR]" >&2
  exit 2
fi

# A hard limit on the whole run, so that nothing can hang a CI job.
if [ -z "${LAUNCHER_E2E_INNER:-}" ]; then
  LAUNCHER_E2E_INNER=1 exec timeout -k 15 "${LAUNCHER_E2E_TIMEOUT:-420}" "$0" "$@"
fi

EXE=$(readlink -f "$1")
WORK=${2:-$(mktemp -d /tmp/launcher-e2e.XXXXXX)}
mkdir -p "$WORK"
WORK=$(readlink -f "$WORK")

failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
note() { echo "---- $*"; }
die() { echo "FAIL: $*"; echo "RESULT: FAIL (setup)"; exit 1; }

[ -f "$EXE" ] || die "no such file: $EXE"
. "$(dirname "$0")/wine-env.sh"
ARCH=$(pe_arch "$EXE")
[ -n "$ARCH" ] || die "$EXE is not a 32-bit or 64-bit x86 Windows program"
wine_use "$ARCH"
for tool in Xvfb xdotool xwininfo xwd "$WINE" wineserver python3 "$MINGW-gcc" "$MINGW-objdump"; do
  command -v "$tool" >/dev/null || die "missing tool: $tool"
done
echo "---- $ARCH launcher.exe under $WINE"

START=$(date +%s)
PREFIX=$WORK/prefix
RUNDIR=$WORK/run                  # the launcher's working directory
ROMDIR="$WORK/My Roms"            # a folder with a space in its name
ROM="$ROMDIR/test game.nes"
RECORD=$RUNDIR/morvane-cmdline.txt
DONE=$RUNDIR/morvane-done.txt
SHOT=$WORK/launcher-options-checked.png
TOOL=$WORK/e2e_tool.py

rm -rf "$PREFIX" "$RUNDIR" "$ROMDIR"
mkdir -p "$RUNDIR" "$ROMDIR"
# A minimal iNES header; the launcher only passes the path on.
printf 'NES\032\001\001\000\000\000\000\000\000\000\000\000\000' >"$ROM"
cp "$EXE" "$RUNDIR/launcher.exe"

# ---------------------------------------------------------------- helpers

cat >"$TOOL" <<'PY'
"""Screen and file checks for the launcher end-to-end test."""
import struct
import sys
import zlib


def read_xwd(path):
    """Rows of (r, g, b) from an xwd dump (ZPixmap, 24 or 32 bits a pixel)."""
    data = open(path, "rb").read()
    f = struct.unpack(">25I", data[:100])
    header_size, version, fmt, width, height = f[0], f[1], f[2], f[4], f[5]
    byte_order, bpp, bpl, ncolors = f[7], f[11], f[12], f[19]
    if version != 7 or fmt != 2 or bpp not in (24, 32):
        sys.exit("unsupported xwd dump: version %d format %d bpp %d" % (version, fmt, bpp))
    pixels = data[header_size + ncolors * 12:]
    n = bpp // 8
    rows = []
    for y in range(height):
        row = pixels[y * bpl:(y + 1) * bpl]
        if byte_order == 0:  # least significant byte first: B G R (X)
            rows.append([(row[n * x + 2], row[n * x + 1], row[n * x]) for x in range(width)])
        else:
            rows.append([(row[n * x + n - 3], row[n * x + n - 2], row[n * x + n - 1]) for x in range(width)])
    return rows


def write_png(rows, path):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as out:
        out.write(png)


def checks(path):
    """Prints one 0/1 a menu item: whether its check-mark column holds a mark.

    The popup is three items high inside a 2-pixel frame; the check-mark
    column is left of the labels. A mark is a cluster of pixels that differ
    from the row's background (dark on white, or white on the highlight)."""
    rows = read_xwd(path)
    height = len(rows)
    band = (height - 3) // 3
    states = []
    for item in range(3):
        top = 2 + item * band
        # Inside the item, clear of the highlight's edges and the frame.
        region = [row[4:18] for row in rows[top + 2:top + band - 2]]
        colours = [px for row in region for px in row]
        background = max(set(colours), key=colours.count)
        differing = sum(1 for px in colours if sum(abs(a - b) for a, b in zip(px, background)) > 150)
        states.append("1" if differing >= 8 else "0")
    print("".join(states))


def composite(out, base, width, height, *layers):
    """Pastes window dumps (path, x, y) over a dump of the screen and writes
    its top-left width x height pixels as a PNG."""
    rows = [list(r[:int(width)]) for r in read_xwd(base)[:int(height)]]
    for i in range(0, len(layers), 3):
        img, x, y = read_xwd(layers[i]), int(layers[i + 1]), int(layers[i + 2])
        for dy, row in enumerate(img):
            if 0 <= y + dy < len(rows):
                for dx, px in enumerate(row):
                    if 0 <= x + dx < len(rows[0]):
                        rows[y + dy][x + dx] = px
    write_png(rows, out)


def icon_group(path):
    """Prints the names of the RT_GROUP_ICON resources of a PE file."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + opt_size
    for i in range(sections):
        name, _, va, _, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            base, rva = raw, va
            break
    else:
        return

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for k in range(named + ids):
            key, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * k)
            yield key, target

    for key, target in entries(0):
        if key == 14 and target & 0x80000000:  # RT_GROUP_ICON directory
            for name, _ in entries(target & 0x7FFFFFFF):
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", data, at)[0]
                    print(data[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
                else:
                    print("#%d" % name)
    del rva


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    {"checks": checks, "composite": composite, "icon-group": icon_group,
     "png": lambda a, b: write_png(read_xwd(a), b)}[command](*args)
PY

# The stand-in emulator: records its command line next to itself, stays up
# for a moment so the hidden launcher window can be observed, then marks its
# end and exits with a status the launcher is to ignore.
cat >"$WORK/morvane.c" <<'C'
#include <windows.h>
#include <stdio.h>
#include <string.h>

static void write_beside(const char* name, const char* text)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    while (n > 0 && path[n - 1] != '\\') --n;
    path[n] = '\0';
    strncat(path, name, MAX_PATH - 1 - n);
    FILE* f = fopen(path, "wb");
    if (f) { fputs(text, f); fclose(f); }
}

int main(void)
{
    write_beside("morvane-cmdline.txt", GetCommandLineA());
    Sleep(3000);
    write_beside("morvane-done.txt", "done");
    return 3;
}
C
"$MINGW-gcc" -O1 -o "$RUNDIR/morvane.exe" "$WORK/morvane.c" >"$WORK/morvane-build.log" 2>&1 ||
  die "could not build the stand-in emulator (see $WORK/morvane-build.log)"

# Processes of this run's Wine prefix whose command line matches $1.
prefix_pids() {
  local d environment command
  for d in /proc/[0-9]*; do
    environment=$({ tr '\0' '\n' <"$d/environ"; } 2>/dev/null)
    grep -qFx "WINEPREFIX=$PREFIX" <<<"$environment" || continue
    command=$({ tr '\0' ' ' <"$d/cmdline"; } 2>/dev/null)
    grep -qE "$1" <<<"$command" && echo "${d#/proc/}"
  done
}

# Polls "$@" every 0.2 s for up to $TIMEOUT seconds; true when it succeeded.
TIMEOUT=20
wait_for() {
  local deadline=$(($(date +%s%N) + TIMEOUT * 1000000000))
  while [ "$(date +%s%N)" -lt "$deadline" ]; do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}

launcher_window() { xdotool search --name '^Morvane Launcher$' 2>/dev/null | head -1; }
map_state() { xwininfo -id "$1" 2>/dev/null | sed -n 's/.*Map State: //p'; }
is_viewable() { [ "$(map_state "$1")" = IsViewable ]; }
is_unmapped() { [ "$(map_state "$1")" = IsUnMapped ]; }
geometry() { # prints "x y width height" of window $1
  xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}'
}

# The open menu pop-up: a visible, unnamed window other than the root.
popup_window() {
  local root w
  root=$(xwininfo -root | awk '/Window id:/{print $4}')
  for w in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
    [ "$(printf '0x%x' "$w")" = "$root" ] && continue
    [ -z "$(xdotool getwindowname "$w" 2>/dev/null)" ] && { echo "$w"; return 0; }
  done
  return 1
}
has_popup() { popup_window >/dev/null; }
no_popup() { ! popup_window >/dev/null; }

# Focus: without a window manager only a click gives the window keyboard input.
focus_launcher() {
  local g
  read -r -a g <<<"$(geometry "$WIN")"
  xdotool mousemove $((g[0] + g[2] / 2)) $((g[1] + g[3] * 2 / 3)) click 1
  sleep 0.3
}

# Opens the Options menu and prints its check marks as three 0/1 digits;
# leaves the menu open.
read_checks() {
  focus_launcher
  xdotool key alt+o
  TIMEOUT=10 wait_for has_popup || { echo "none"; return 1; }
  sleep 0.5
  xwd -id "$(popup_window)" -silent >"$WORK/popup.xwd" || { echo "none"; return 1; }
  python3 "$TOOL" checks "$WORK/popup.xwd"
}
close_menu() {
  xdotool key Escape Escape
  TIMEOUT=5 wait_for no_popup
  sleep 0.2
}
menu_command() { # $1: menu key (f or o), $2: item key
  focus_launcher
  xdotool key "alt+$1"
  TIMEOUT=10 wait_for has_popup || { fail "menu alt+$1 did not open"; return 1; }
  sleep 0.3
  xdotool key "$2"
  TIMEOUT=10 wait_for no_popup
  sleep 0.3
}
expect_checks() { # $1: expected digits, $2: what was done
  local got
  got=$(read_checks)
  if [ "$got" = "$1" ]; then pass "check marks after $2: $got"; else fail "check marks after $2: got $got, want $1"; fi
}

XVFB_PID=""
LAUNCHER_JOB=""
cleanup() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$PREFIX" ]; then
    timeout 20 wineserver -k >/dev/null 2>&1
  fi
  [ -n "$LAUNCHER_JOB" ] && kill "$LAUNCHER_JOB" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'echo "FAIL: interrupted"; exit 1' INT TERM

# ------------------------------------------------------- the program file

note "launcher.exe as built"
headers=$("$MINGW-objdump" -p "$EXE")
imports=$(sed -n 's/.*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
if [ "$imports" = "COMDLG32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then
  pass "imports only: $imports"
else
  fail "imports: $imports"
fi
if grep -q 'Subsystem.*Windows GUI' <<<"$headers"; then
  pass "GUI subsystem"
else
  fail "not a GUI program"
fi
groups=$(python3 "$TOOL" icon-group "$EXE" | tr '\n' ' ')
if [ "$groups" = "A " ]; then pass "one icon group, named A"; else fail "icon groups: '$groups'"; fi

# ------------------------------------------------------- display and Wine

note "virtual display and Wine prefix"
# The first free display number whose server really starts (another run may
# take a number between the look and the start).
xvfb_up() { kill -0 "$XVFB_PID" 2>/dev/null && [ -S "/tmp/.X11-unix/X$1" ] && DISPLAY=":$1" xwininfo -root >/dev/null 2>&1; }
for n in $(seq 90 140); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  if TIMEOUT=15 wait_for xvfb_up "$n"; then
    export DISPLAY=":$n"
    break
  fi
  kill "$XVFB_PID" 2>/dev/null
  XVFB_PID=""
done
[ -n "$XVFB_PID" ] || die "Xvfb did not start (see $WORK/xvfb.log)"

export WINEPREFIX=$PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 240 "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1 || die "wineboot failed (see $WORK/wineboot.log)"
[ -d "$PREFIX/drive_c/windows" ] || die "wineboot made no prefix"
mkdir -p "$PREFIX/drive_c/windows/Fonts"
# Marlett draws the check marks and the caption buttons.
[ -f /usr/share/wine/fonts/marlett.ttf ] && cp /usr/share/wine/fonts/marlett.ttf "$PREFIX/drive_c/windows/Fonts/"
timeout 30 wineserver -p
timeout 120 "$WINE" cmd /c exit >/dev/null 2>&1
arch=$(timeout 60 "$WINE" cmd /c echo %PROCESSOR_ARCHITECTURE% 2>/dev/null | tr -d '\r')
[ "$arch" = "$WINE_PROCESSOR" ] || die "the Wine prefix reports PROCESSOR_ARCHITECTURE '$arch', want $WINE_PROCESSOR"

# A program of this architecture really runs (a Wine without its 32-bit
# half exits 0 without running anything).
(cd "$RUNDIR" && timeout 60 "$WINE" morvane.exe probe >/dev/null 2>&1)
if grep -q 'probe' "$RECORD" 2>/dev/null && [ -f "$DONE" ]; then
  pass "$ARCH Windows programs run"
else
  die "the $ARCH stand-in did not run under Wine"
fi
rm -f "$RECORD" "$DONE"

# ------------------------------------------------------------- the window

note "start launcher.exe"
(cd "$RUNDIR" && exec "$WINE" explorer /desktop=LauncherE2E,640x480 launcher.exe >"$WORK/launcher.log" 2>&1) &
LAUNCHER_JOB=$!
TIMEOUT=40 wait_for launcher_window >/dev/null || die "no window titled 'Morvane Launcher' appeared"
WIN=$(launcher_window)
TIMEOUT=10 wait_for is_viewable "$WIN" || die "the launcher window is not shown"
LAUNCHER_PID=$(prefix_pids '(^|\\)launcher\.exe *$' | head -1)
[ -n "$LAUNCHER_PID" ] || die "no launcher.exe process"
read -r -a G <<<"$(geometry "$WIN")"
if [ "${G[2]}" = 240 ] && [ "${G[3]}" = 240 ]; then
  pass "window 'Morvane Launcher' shown, 240x240"
else
  fail "window size ${G[2]}x${G[3]}, want 240x240"
fi
sleep 1

note "options menu"
expect_checks 000 "start"
close_menu
menu_command o f
expect_checks 100 "Fullscreen"
POPUP=$(popup_window)
# The artefact: the window with its Options menu open and Fullscreen checked.
xwd -root -silent >"$WORK/root.xwd" && xwd -id "$WIN" -silent >"$WORK/window.xwd" &&
  read -r -a P <<<"$(geometry "$POPUP")" &&
  python3 "$TOOL" composite "$SHOT" "$WORK/root.xwd" 320 300 \
    "$WORK/window.xwd" "${G[0]}" "${G[1]}" "$WORK/popup.xwd" "${P[0]}" "${P[1]}"
if [ -s "$SHOT" ]; then echo "screenshot: $SHOT"; else fail "no screenshot"; fi
close_menu
menu_command o s
menu_command o t
expect_checks 111 "Stats and Trace"
close_menu
menu_command o t
expect_checks 101 "Trace again"
close_menu

# ---------------------------------------------------------------- Load Rom

ROM_WIN='Z:'$(printf '%s' "$ROM" | tr '/' '\\')

# Picks $ROM in the open-file dialog and checks the command line, the hidden
# window while the emulator runs, and the window shown again afterwards.
load_rom() { # $1: expected option fields after the quoted path, $2: what is tested
  local want got
  rm -f "$RECORD" "$DONE"
  menu_command f l
  dialog_window() { xdotool search --onlyvisible --name '^Open$' 2>/dev/null | head -1; }
  TIMEOUT=20 wait_for dialog_window >/dev/null || { fail "no open-file dialog ($2)"; return 1; }
  sleep 0.7
  xdotool type --delay 20 "$ROM_WIN"
  sleep 0.3
  xdotool key Return
  TIMEOUT=20 wait_for test -f "$RECORD" || { fail "the emulator was not started ($2)"; return 1; }
  if TIMEOUT=2 wait_for is_unmapped "$WIN" && [ ! -f "$DONE" ]; then
    pass "window hidden while the emulator runs ($2)"
  else
    fail "window not hidden while the emulator runs ($2): $(map_state "$WIN")"
  fi
  TIMEOUT=20 wait_for test -f "$DONE" || fail "the emulator did not end ($2)"
  if TIMEOUT=15 wait_for is_viewable "$WIN"; then
    pass "window shown again after the emulator ended ($2)"
  else
    fail "window not shown again ($2): $(map_state "$WIN")"
  fi
  want="morvane \"$ROM_WIN\"$1"
  got=$(cat "$RECORD")
  if [ "$got" = "$want" ]; then
    pass "command line ($2): [$got]"
  else
    fail "command line ($2): got [$got], want [$want]"
  fi
}

note "load a ROM"
load_rom ' -fs    -s' "Fullscreen and Stats"
sleep 0.5
expect_checks 101 "the emulator ended"
close_menu
menu_command o s
expect_checks 100 "Stats again"
close_menu
load_rom ' -fs      ' "Fullscreen only, trailing spaces kept"

note "cancelled dialog"
rm -f "$RECORD"
menu_command f l
if TIMEOUT=20 wait_for bash -c "xdotool search --onlyvisible --name '^Open\$' >/dev/null"; then
  sleep 0.5
  xdotool key Escape
  TIMEOUT=10 wait_for bash -c "! xdotool search --onlyvisible --name '^Open\$' >/dev/null"
  sleep 1
  if [ ! -f "$RECORD" ] && is_viewable "$WIN"; then
    pass "cancelled dialog starts nothing and leaves the window shown"
  else
    fail "cancelled dialog: record file $( [ -f "$RECORD" ] && echo present || echo absent ), window $(map_state "$WIN")"
  fi
else
  fail "no open-file dialog for the cancel check"
fi

# -------------------------------------------------------------------- Exit

note "File > Exit"
menu_command f e
running() { # a process that exists and has not ended (a zombie has ended)
  local state
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)
  [ -n "$state" ] && [ "$state" != Z ]
}
gone() { [ -z "$(prefix_pids '(^|\\)launcher\.exe *$')" ] && ! running "$LAUNCHER_PID"; }
if TIMEOUT=20 wait_for gone; then
  pass "launcher.exe ended after File > Exit"
else
  fail "launcher.exe still running after File > Exit"
fi
if TIMEOUT=10 wait_for bash -c '[ -z "$(xdotool search --name "^Morvane Launcher\$" 2>/dev/null)" ]'; then
  pass "its window is gone"
else
  fail "its window is still there"
fi

echo "elapsed: $(($(date +%s) - START)) s"
echo "screenshot: $SHOT"
if [ "$failures" -eq 0 ]; then
  echo "RESULT: PASS"
  exit 0
fi
echo "RESULT: FAIL ($failures failed checks)"
exit 1
