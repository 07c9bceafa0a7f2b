# The end-to-end scenarios, one function scenario_<name> each, run under
# "set -e" in a folder of their own ($E2E_CASE). They show what only the
# real program under Wine shows: the dialog, the registry look-ups, the
# folder browser, the message boxes and the pause and cancel protocol
# through real windows, and every text crossing them in the locale of the
# run. What a run does to files is the native run tests' part.
# Sourced after lib.sh, by scripts/e2e-test and scripts/demo.

# Texts of the program (UTF-8 here; CP932 inside the program).
CONFIRM_CAPTION='アップデート確認'
CANCEL_CAPTION='アップデート処理の中止'
DONE_CAPTION='アップデート終了'
DONE_CHANGED='ファイル更新処理が終了しました'
ABORT_CAPTION='アップデート中止'
COPY_ERROR='Copy File Access Error'
BROWSE_TITLE='インストールフォルダの選択'

# --- sample data (the demo's too) ---

# An installed game: loose files, a package archive and a setup log.
make_game() {
  mkdir -p "$1/data" "$1/音楽"
  printf 'Sorelune 1.00\n' >"$1/Sorelune.exe"
  printf '[screen]\r\nwidth=800\r\n' >"$1/data/config.ini"
  printf 'bgm01 old\n' >"$1/音楽/bgm01.ogg"
  sample archive "$1/data.qrv" 'image\title.bmp=old title image' 'script\main.txt=old script' 'voice\セリフ.ogg=voice bytes'
  printf 'F\tC:\\Games\\Sorelune\\Sorelune.exe\r\n' >"$1/Setup.log"
}

# An update for the game in $2 beside the program: the list, loose files
# and a source package.
make_update() {
  local update=$1
  mkdir -p "$update/data" "$update/音楽" "$update/script"
  printf 'Sorelune 1.01\n' >"$update/Sorelune.exe"
  cp "$2/data/config.ini" "$update/data/config.ini"
  printf 'bgm02 new\n' >"$update/音楽/bgm02.ogg"
  printf 'new script' >"$update/script/main.txt"
  sample archive "$update/patch.qrv" 'image\title.bmp=new title image, longer than before' '追加データ.dat=追加データ' \
    $'readme_jp.txt=readme from the package\r\n'
  write_list "$update/UpDate.lst" <<'LIST'
E
R	Sorelune.exe
C	data\config.ini
C	音楽\bgm02.ogg
P	patch.qrv
I	data.qrv	image\title.bmp	image\title.bmp
I	data.qrv	追加データ.dat	data\追加データ.dat
C	readme_jp.txt
P
I	data.qrv	script\main.txt	script\main.txt
LIST
}

# The dialog's controls in template order as the driver lists them: the
# install folder, then Browse and Execute as $2 and the bar as $3.
controls_are() {
  printf '%s\n' '1 hidden disabled OK' '2 visible enabled ｷｬﾝｾﾙ' "1000 visible enabled $1" "1001 $2 参照" \
    "-1 visible enabled Sorelune　アップデート" "1002 $2 実行" "1003 $3 Progress1"
}
box_is() { printf 'box caption=%s buttons=%s owner=%s text=%s' "$@"; }

# --- the dialog and the install folder ---

# Opens the dialog on an empty update folder, compares the install folder
# field, and leaves with Escape, which while idle closes as Cancel does.
install_folder_shown() {
  start_updater "$E2E_CASE/update"
  expect "$1" drive wait-dialog text 1000 key escape wait-closed
  updater_ended
}

scenario_dialog_and_install_folder() {
  mkdir -p "$E2E_CASE/update"
  # The prefix's Program Files values come back for the scenarios that follow.
  trap 'set_value "$CURRENT_VERSION_KEY" ProgramFilesDir 32 "C:\Program Files (x86)"
        set_value "$CURRENT_VERSION_KEY" ProgramFilesDir 64 "C:\Program Files"' EXIT
  remove_game_key
  # The 32-bit installer's value, shown exactly as stored (no backslash
  # added), in the dialog as it opens: the focus on ｷｬﾝｾﾙ, the label from the
  # string table. Tab moves on to the edit control; Enter there does nothing
  # (the default button is the hidden, disabled OK). Cancel while idle
  # closes at once, without a question.
  set_install_folder 'D:\Games\ソレルーン'
  start_updater "$E2E_CASE/update"
  expect "$(controls_are 'D:\Games\ソレルーン' 'visible enabled' 'hidden enabled')
focus 2" drive wait-dialog controls focus
  shot dialog "$(drive wait-dialog rect)"
  expect 'focus 1000' drive key tab sleep 200 focus key return sleep 300 wait-dialog expect-no-box '*'
  drive click 2 wait-closed
  updater_ended
  # A 64-bit installer's key is found too; when both views have one, the
  # 32-bit one wins, unless its value cannot be read.
  remove_game_key
  set_install_folder 'E:\Sixty-four\' 64
  install_folder_shown 'E:\Sixty-four\'
  set_install_folder 'D:\Thirty-two\' 32
  install_folder_shown 'D:\Thirty-two\'
  set_value "$GAME_KEY" Directory 32 7 REG_DWORD
  install_folder_shown 'E:\Sixty-four\'
  # With no readable value, Program Files as a 32-bit program sees it: the
  # 32-bit view's, never the 64-bit one's; without it the last resort.
  "$E2E_WINE" reg delete "$GAME_KEY" /reg:64 /f >/dev/null
  set_value "$CURRENT_VERSION_KEY" ProgramFilesDir 64 'E:\Sixty-four'
  set_value "$CURRENT_VERSION_KEY" ProgramFilesDir 32 'E:\Apps'
  install_folder_shown 'E:\Apps\Quorvane\Sorelune\'
  "$E2E_WINE" reg delete "$CURRENT_VERSION_KEY" /v ProgramFilesDir /reg:32 /f >/dev/null
  install_folder_shown 'C:\Program Files\Quorvane\Sorelune\'
}

# The browser opens at the folder in the field; cancelled, it leaves the
# text; a chosen folder gets its backslash (ソ ends in the byte 0x5C, which
# is no backslash); one that CP932 cannot name is refused with a warning
# owned by the dialog, and the field keeps its text; so is 実行 on a
# folder that is not absolute. The folders lie on
# drive C:, where Wine's browser, which lists files too, gets to them quickly.
scenario_browse() {
  mkdir -p "$E2E_CASE/update" "$WINEPREFIX/drive_c/ゲームソ" "$WINEPREFIX/drive_c/Café"
  set_install_folder 'C:\ゲームソ'
  start_updater "$E2E_CASE/update"
  expect 'C:\ゲームソ' drive wait-dialog browse-to ゲームソ answer Cancel text 1000
  expect 'C:\ゲームソ\' drive browse-to ゲームソ answer OK text 1000
  expect "$(box_is "$BROWSE_TITLE" OK dialog '選択されたフォルダはインストールフォルダとして使用出来ません。\n（フォルダ名に使用出来ない文字が含まれているか、パスが長すぎます）')" \
    drive set-text 1000 'C:\Café' browse-to Café answer OK wait-box "$BROWSE_TITLE" print-box
  shot_with_box unusable-folder "$BROWSE_TITLE"
  expect 'C:\Café' drive wait-box "$BROWSE_TITLE" answer OK expect-no-box '*' text 1000
  # 実行 on a folder that is no drive or share path (an item without a
  # path empties the field) starts no run: the same warning, no question.
  expect "$(box_is "$BROWSE_TITLE" OK dialog '選択されたフォルダはインストールフォルダとして使用出来ません。\n（フォルダ名に使用出来ない文字が含まれているか、パスが長すぎます）')" \
    drive set-text 1000 'Games\' click 1002 wait-box "$BROWSE_TITLE" print-box answer OK expect-no-box '*'
  drive click 2 wait-closed
  updater_ended
}

# --- runs ---

# Declined, 実行 starts nothing. Confirmed, the run takes the folder typed
# into the field (not the registry's), its Japanese name crossing the edit
# control, and ends with its message while Browse and 実行 are off.
scenario_whole_run() {
  GAME=$E2E_CASE/ゲーム表
  UPDATE=$E2E_CASE/update
  make_game "$GAME"
  make_update "$UPDATE" "$GAME"
  set_install_folder 'C:\not\the\game\'
  local folder
  folder=$(winpath "$GAME" folder)
  start_updater "$UPDATE"
  expect "$(box_is "$CONFIRM_CAPTION" OK,Cancel dialog 'ファイルを更新します。よろしいですか？')
$(controls_are "$folder" 'visible enabled' 'hidden enabled')" \
    drive wait-dialog set-text 1000 "$folder" click 1002 wait-box "$CONFIRM_CAPTION" print-box answer Cancel \
    expect-no-box '*' controls
  expect "$(controls_are "$folder" 'visible disabled' 'visible enabled')
$(box_is "$DONE_CAPTION" OK dialog "$DONE_CHANGED")" \
    drive click 1002 wait-box "$CONFIRM_CAPTION" answer OK wait-box "$DONE_CAPTION" wait-progress 1000 controls print-box
  shot_with_box run-finished "$DONE_CAPTION"
  drive wait-box "$DONE_CAPTION" answer OK wait-closed
  updater_ended
  cmp "$GAME/Sorelune.exe" "$UPDATE/Sorelune.exe"
  # The created files are logged with the typed folder, in CP932.
  printf 'F\tC:\\Games\\Sorelune\\Sorelune.exe\r\nF\t%s音楽\\bgm02.ogg\r\nF\t%sreadme_jp.txt\r\n' "$folder" "$folder" \
    | iconv -f UTF-8 -t CP932 | cmp - "$GAME/Setup.log"
}

# A run held at a retry prompt: its third entry replaces a file that is not
# there yet (target checking is off for it); the last entry is a C, or with
# "R" one more such prompt. The prompts are unowned, so the dialog still
# takes Cancel.
held_case() {
  GAME=$E2E_CASE/game
  UPDATE=$E2E_CASE/update
  mkdir -p "$GAME" "$UPDATE"
  printf 'first' >"$UPDATE/first.txt"
  printf 'new' >"$UPDATE/later.dat"
  printf 'new' >"$UPDATE/last.dat"
  printf 'C\tfirst.txt\r\nN\r\nR\tlater.dat\r\n%s\tlast.dat\r\n' "${1:-C}" >"$UPDATE/UpDate.lst"
  set_install_folder "$(winpath "$GAME" folder)"
  start_updater "$UPDATE"
  expect starts "$(box_is "$COPY_ERROR" Retry,Cancel none \
    "ファイルの更新中にエラーが発生しました\n\nfilename:$(winpath "$GAME" folder)later.dat\nerrorcode:2\nerrorcomment:")" \
    drive wait-dialog click 1002 wait-box "$CONFIRM_CAPTION" answer OK wait-box "$COPY_ERROR" print-box
}
# The file the prompt waits for appears, and the prompt is answered Retry;
# the entry ends and the bar moves on (to $2).
deliver_and_retry() {
  printf 'old' >"$GAME/$1"
  drive wait-box "$COPY_ERROR" answer Retry wait-progress "$2"
  cmp "$GAME/$1" "$UPDATE/$1"
}

# Declined, the question lets the run go on with the entry after the one at
# the prompt, none skipped. Confirmed once the worker is past its last entry
# (held at its final wait), it leaves the run its usual outcome.
scenario_cancel_declined_then_confirmed_too_late() {
  held_case R
  shot_with_box retry-prompt "$COPY_ERROR"
  expect "$(box_is "$CANCEL_CAPTION" OK,Cancel dialog 'アップデートを中止してよろしいですか？\n（一部のみアップデートされた状態だと不具合が出る可能性があります）')" drive click 2 wait-box "$CANCEL_CAPTION" print-box
  shot_with_box cancel-question "$CANCEL_CAPTION"
  deliver_and_retry later.dat 500
  [ ! -e "$GAME/last.dat" ]
  drive wait-box "$CANCEL_CAPTION" answer Cancel wait-box "$COPY_ERROR"
  # Escape asks as Cancel does.
  drive key escape wait-box "$CANCEL_CAPTION"
  deliver_and_retry last.dat 1000
  expect "$(box_is "$DONE_CAPTION" OK dialog "$DONE_CHANGED")" \
    drive wait-box "$CANCEL_CAPTION" answer OK wait-box "$DONE_CAPTION" print-box answer OK wait-closed
  updater_ended
}

# Confirmed during the run, the run stops before its next entry; a second
# Cancel asks nothing.
scenario_cancel_confirmed() {
  held_case
  drive click 2 wait-box "$CANCEL_CAPTION" answer OK click 2 sleep 500 expect-no-box "$CANCEL_CAPTION"
  deliver_and_retry later.dat 500
  expect "$(box_is "$ABORT_CAPTION" OK dialog 'ユーザーにより更新処理を中止しました。')" drive wait-box "$ABORT_CAPTION" print-box answer OK wait-closed
  updater_ended
  [ ! -e "$GAME/last.dat" ]
}
