# Helpers of the end-to-end scenarios and the demo (sourced).
# E2E_WINE, E2E_WINESERVER, E2E_EXE, E2E_DRIVER, E2E_SHOTS and E2E_TMP (or,
# for the demo, E2E_CASE) are set.

GAME_KEY='HKLM\SOFTWARE\Quorvane\Sorelune'
CURRENT_VERSION_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion'

# The throw-away prefix: made, with "ＭＳ Ｐゴシック" and the dialog fonts
# drawn by IPA P Gothic, and Wine drawing the window captions itself (there
# is no window manager on Xvfb) unless "managed" is asked for.
prepare_prefix() {
  "$E2E_WINE" wineboot -i || return 1
  # Marlett draws the caption buttons; this Wine does not find the copy that
  # fonts-wine installs, but finds every font in the prefix's Fonts folder.
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  local substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' face value
  for face in 'ＭＳ Ｐゴシック' 'MS UI Gothic' 'MS Shell Dlg' 'MS Shell Dlg 2' 'ＭＳ ゴシック'; do
    "$E2E_WINE" reg add "$substitutes" /v "$face" /t REG_SZ /d 'IPAPGothic' /f || return 1
  done
  "$E2E_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
    /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic' /f || return 1
  # As 64-bit Windows has it: a 32-bit program's Program Files is the (x86)
  # one. A wine64 prefix has the 32-bit view's key but not this value.
  set_value "$CURRENT_VERSION_KEY" ProgramFilesDir 32 'C:\Program Files (x86)' || return 1
  for value in Decorated Managed; do
    [ "${1:-}" = managed ] || "$E2E_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v $value /t REG_SZ /d N /f || return 1
  done
  "$E2E_WINESERVER" -w
}

# A unix path as the program sees it (drive Z:), with a trailing backslash
# when "folder" is asked for.
winpath() {
  local path
  path=$(readlink -f "$1")
  path="Z:${path//\//\\}"
  [ "${2:-}" = folder ] && path="$path\\"
  printf '%s' "$path"
}

drive() { "$E2E_WINE" "$E2E_DRIVER" "$@"; }

# key, value, registry view (32 or 64), data [, type]
set_value() { "$E2E_WINE" reg add "$1" /v "$2" /t "${5:-REG_SZ}" /d "$4" /reg:"$3" /f >/dev/null; }
# The game's key where its 32-bit installer puts it (the 32-bit view), or
# in the view given.
set_install_folder() { set_value "$GAME_KEY" Directory "${2:-32}" "$1"; }
remove_game_key() {
  local view
  for view in 32 64; do "$E2E_WINE" reg delete "$GAME_KEY" /reg:$view /f >/dev/null 2>&1 || true; done
}

# Starts the updater with the update folder as its current directory.
start_updater() { (cd "$1" && exec "$E2E_WINE" "$E2E_EXE") >/dev/null 2>&1 & UPDATER_PID=$!; }

# Waits for the updater's process to end (it ends with its dialog).
updater_ended() {
  for _ in $(seq 300); do kill -0 "$UPDATER_PID" 2>/dev/null || { wait "$UPDATER_PID" || true; return 0; }; sleep 0.1; done
  echo "the updater did not end"
  return 1
}

# Screenshot of a part of the screen, WxH+X+Y.
shot() {
  import -display "$DISPLAY" -window root -crop "$2" +repage "$E2E_SHOTS/$1.png" 2>/dev/null || echo "screenshot $1 failed"
}
# The bounding rectangle of two WxH+X+Y rectangles.
union_rect() {
  python3 - "$1" "$2" <<'PY'
import re, sys
boxes = [tuple(map(int, re.match(r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", a).groups())) for a in sys.argv[1:]]
left = max(0, min(x for w, h, x, y in boxes)); top = max(0, min(y for w, h, x, y in boxes))
print("%dx%d+%d+%d" % (max(x + w for w, h, x, y in boxes) - left, max(y + h for w, h, x, y in boxes) - top, left, top))
PY
}
# Screenshot of the dialog with the box of that caption.
shot_with_box() { shot "$1" "$(union_rect "$(drive wait-dialog rect)" "$(drive wait-box "$2" rect)")"; }

# sample archive OUT ENTRY=CONTENT ...: a package archive made by the
# publisher tool itself (under Wine) from a folder of the entries, their
# names and contents CP932 inside the archive.
sample() {
  local out=$2 spec name files
  files=$(mktemp -d "${E2E_TMP:-/tmp}/archive.XXXXXX")
  shift 2
  for spec in "$@"; do
    name=${spec%%=*}
    name=${name//\\//}
    mkdir -p "$files/$(dirname "$name")"
    printf '%s' "${spec#*=}" | iconv -f UTF-8 -t CP932 >"$files/$name"
  done
  "$E2E_WINE" "$E2E_UPDTOOL" archive create "Z:$out" "Z:$files" >/dev/null
  local made=$?
  rm -rf "$files"
  return $made
}
# Lines in UTF-8 on stdin to a CP932 list with CR LF.
write_list() { iconv -f UTF-8 -t CP932 | sed 's/$/\r/' >"$1"; }

# Runs a command and compares what it prints with the text expected; with
# "starts" first, only the beginning of the output is compared.
expect() {
  local starts=no want got
  [ "$1" = starts ] && { starts=yes; shift; }
  want=$1
  shift
  got=$("$@") || { printf 'failed: %s\n%s\n' "$*" "$got"; return 1; }
  [ "$starts" = yes ] && got=${got:0:${#want}}
  [ "$got" = "$want" ] || { printf 'expected:\n%s\nfound:\n%s\n' "$want" "$got"; return 1; }
}

# Runs scenario_<name> in a subshell that stops at the first failing
# command and names it.
run_scenario() {
  local name=$1 status start=$SECONDS
  export E2E_CASE=$E2E_TMP/$name
  rm -rf "$E2E_CASE"
  mkdir -p "$E2E_CASE"
  (set -eE; trap 'echo "failed: $BASH_COMMAND"' ERR; "scenario_$name") >"$E2E_CASE/log" 2>&1
  status=$?
  echo "$([ "$status" -eq 0 ] && echo PASS || echo FAIL) $name ($LANG, $((SECONDS - start)) s)"
  if [ "$status" -ne 0 ]; then
    sed 's/^/    /' "$E2E_CASE/log"
    # A scenario that failed half way may leave the program open.
    "$E2E_WINESERVER" -k 2>/dev/null
    sleep 1
  fi
}
