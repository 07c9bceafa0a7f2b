# Helpers of the end-to-end scenarios (sourced by run_locale.sh).
# E2E_WINE, E2E_WINESERVER, E2E_EXE, E2E_DRIVER, E2E_TMP and E2E_SHOTS are set.

E2E_SAMPLE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/sample.py"
GAME_KEY='HKLM\SOFTWARE\Quorvane\Sorelune'
CURRENT_VERSION_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion'

# The throw-away prefix: made, with "ＭＳ Ｐゴシック" and the dialog fonts
# drawn by IPA P Gothic, and Wine drawing the window captions itself (there
# is no window manager on Xvfb) unless "managed" is asked for.
prepare_prefix() {
  "$E2E_WINE" wineboot -i || return 1
  # Marlett draws the caption buttons; this Wine does not find the copy that
  # fonts-wine installs, but finds every font in the prefix's Fonts folder.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  [ -f "$marlett" ] && cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
  local substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' face
  for face in 'ＭＳ Ｐゴシック' 'MS UI Gothic' 'MS Shell Dlg' 'MS Shell Dlg 2' 'ＭＳ ゴシック'; do
    "$E2E_WINE" reg add "$substitutes" /v "$face" /t REG_SZ /d 'IPAPGothic' /f || return 1
  done
  "$E2E_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
    /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic' /f || return 1
  # As 64-bit Windows has it: a 32-bit program's Program Files is the (x86)
  # one. A wine64 prefix has the 32-bit view's key but not this value.
  "$E2E_WINE" reg add "$CURRENT_VERSION_KEY" /v ProgramFilesDir /t REG_SZ /d 'C:\Program Files (x86)' /reg:32 /f \
    || return 1
  if [ "${1:-}" != managed ]; then
    "$E2E_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f || return 1
    "$E2E_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f || return 1
  fi
  "$E2E_WINESERVER" -w
}

# A unix path as the program sees it (drive Z:), with a trailing backslash
# when the path is a folder and "folder" is asked for.
winpath() {
  local path
  path=$(readlink -f "$1")
  path="Z:${path//\//\\}"
  [ "${2:-}" = folder ] && path="$path\\"
  printf '%s' "$path"
}

drive() { "$E2E_WINE" "$E2E_DRIVER" "$@"; }

# The game's key where its 32-bit installer puts it (the 32-bit view), or
# in the view given: 32 or 64.
set_install_folder() {
  "$E2E_WINE" reg add "$GAME_KEY" /v Directory /t REG_SZ /d "$1" /reg:"${2:-32}" /f >/dev/null
}
remove_game_key() {
  "$E2E_WINE" reg delete "$GAME_KEY" /reg:32 /f >/dev/null 2>&1 || true
  "$E2E_WINE" reg delete "$GAME_KEY" /reg:64 /f >/dev/null 2>&1 || true
}

# Starts the updater with the update folder as its current directory.
start_updater() {
  (cd "$1" && exec "$E2E_WINE" "$E2E_EXE") >/dev/null 2>&1 &
  UPDATER_PID=$!
}

# Waits for the updater's process to end (it ends with its dialog).
updater_ended() {
  local tries=0
  while kill -0 "$UPDATER_PID" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
      echo "the updater did not end"
      return 1
    fi
    sleep 0.1
  done
  wait "$UPDATER_PID" 2>/dev/null
  return 0
}

# Screenshot of the screen part that holds the dialog or the current box.
shot() {
  local name=$1 rect=$2
  import -display "$DISPLAY" -window root -crop "$rect" +repage "$E2E_SHOTS/$name.png" 2>/dev/null \
    || echo "screenshot $name failed"
}

# The bounding rectangle of two WxH+X+Y rectangles.
union_rect() {
  python3 - "$1" "$2" <<'PY'
import re, sys
boxes = [tuple(map(int, re.match(r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", a).groups())) for a in sys.argv[1:]]
left = max(0, min(x for w, h, x, y in boxes)); top = max(0, min(y for w, h, x, y in boxes))
right = max(x + w for w, h, x, y in boxes); bottom = max(y + h for w, h, x, y in boxes)
print("%dx%d+%d+%d" % (right - left, bottom - top, left, top))
PY
}

sample() { python3 "$E2E_SAMPLE" "$@"; }
write_list() { sample list "$1"; }

# Fails with a message when two files differ.
same_file() { cmp -s "$1" "$2" || { echo "differs: $1 / $2"; return 1; }; }
# Fails unless the archive's entry holds exactly the file's bytes.
same_entry() {
  local archive=$1 name=$2 expected=$3
  sample entry "$archive" "$name" >"$E2E_CASE/entry.out" || return 1
  cmp -s "$E2E_CASE/entry.out" "$expected" || { echo "entry $name of $archive differs from $expected"; return 1; }
}
absent() { [ ! -e "$1" ] || { echo "should not exist: $1"; return 1; }; }
# A fingerprint of every file below a folder, names and bytes.
tree_sum() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }

run_scenario() {
  local name=$1 status
  export E2E_CASE=$E2E_TMP/$name
  rm -rf "$E2E_CASE"
  mkdir -p "$E2E_CASE"
  (set -e; "scenario_$name") >"$E2E_CASE/log" 2>&1
  status=$?
  # A scenario that failed half way may leave the program open.
  if [ "$status" -ne 0 ]; then
    "$E2E_WINESERVER" -k 2>/dev/null
    sleep 1
  fi
  if [ "$status" -eq 0 ]; then
    echo "PASS $name ($LANG)"
  else
    echo "FAIL $name ($LANG)"
    sed 's/^/    /' "$E2E_CASE/log"
  fi
}
