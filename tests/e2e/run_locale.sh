#!/bin/bash
# Runs every end-to-end scenario under one locale:
#   run_locale.sh <locale> <work-dir> <screenshot-dir> [scenario ...]
# Prints PASS/FAIL lines; touches <work-dir>/done when it got to the end.
# Started by scripts/e2e-test, which also cleans up after it.
set -uo pipefail

export LANG=$1 LC_ALL=$1
work=$2
export E2E_SHOTS=$3
shift 3
only=("$@")
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$E2E_SHOTS"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export E2E_WINE=/usr/lib/wine/wine64 E2E_WINESERVER=/usr/lib/wine/wineserver
export E2E_TMP=$work/cases

# A display of its own: Xvfb picks a free number and tells it.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
echo $! >"$work/xvfb.pid"
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL setup: Xvfb did not start"; exit 1; }
export DISPLAY=:$(tr -d '\n' <"$work/display")

source "$here/lib.sh"
if ! prepare_prefix >"$work/prefix.log" 2>&1; then
  echo "FAIL setup: the Wine prefix could not be made"
  cat "$work/prefix.log"
  exit 1
fi
source "$here/scenarios.sh"

for scenario in $(declare -F | awk '{print $3}' | grep '^scenario_'); do
  name=${scenario#scenario_}
  if ((${#only[@]})) && ! printf '%s\n' "${only[@]}" | grep -qx "$name"; then continue; fi
  run_scenario "$name"
done
touch "$work/done"
