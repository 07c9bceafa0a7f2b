# The end-to-end scenarios, one function scenario_<name> each, run under
# "set -e" in a folder of their own ($E2E_CASE). Sourced by run_locale.sh
# after lib.sh.

# Texts of the program (UTF-8 here; CP932 inside the program).
TITLE='「Sorelune」　アップデート'
LABEL='Sorelune　アップデート'
CONFIRM_CAPTION='アップデート確認'
CONFIRM_TEXT='ファイルを更新します。よろしいですか？'
CANCEL_CAPTION='アップデート処理の中止'
CANCEL_TEXT='アップデートを中止してよろしいですか？\n（一部のみアップデートされた状態だと不具合が出る可能性があります）'
DONE_CAPTION='アップデート終了'
DONE_CHANGED='ファイル更新処理が終了しました'
DONE_NOTHING='全データが最新でしたので更新処理は行いませんでした'
ABORT_CAPTION='アップデート中止'
ABORT_LIST='更新ファイルリストが正常に取得出来ませんでした。更新処理を中止します。'
ABORT_SOURCE='更新用ファイルが見つかりませんでした。更新処理を中止します。'
ABORT_TARGET='更新先ファイルが見つかりませんでした。更新処理を中止します。'
ABORT_MAGIC='更新先ファイルが壊れている可能性がありますので、更新処理を中止しました。'
ABORT_USER='ユーザーにより更新処理を中止しました。'
ABORT_FILE='ファイルの更新が出来ませんでした。更新処理を中止します。'
COPY_ERROR='Copy File Access Error'
BROWSE_TITLE='インストールフォルダの選択'
UNUSABLE_FOLDER='選択されたフォルダはインストールフォルダとして使用出来ません。\n（フォルダ名に使用出来ない文字が含まれているか、パスが長すぎます）'
FILE_ERROR_HEAD='ファイルの更新中にエラーが発生しました\n\nfilename:'

# --- sample data ---

# An installed game: loose files, a package archive and a setup log.
make_game() {
  local game=$1
  mkdir -p "$game/data" "$game/音楽" "$E2E_CASE/old"
  printf 'Sorelune 1.00\n' >"$game/Sorelune.exe"
  printf '[screen]\r\nwidth=800\r\n' >"$game/data/config.ini"
  printf 'bgm01 old\n' >"$game/音楽/bgm01.ogg"
  printf 'old title image' >"$E2E_CASE/old/title.bmp"
  printf 'old script' >"$E2E_CASE/old/main.txt"
  printf 'voice bytes' >"$E2E_CASE/old/voice.ogg"
  sample archive "$game/data.qrv" 'image\title.bmp'="$E2E_CASE/old/title.bmp" \
    'script\main.txt'="$E2E_CASE/old/main.txt" 'voice\セリフ.ogg'="$E2E_CASE/old/voice.ogg"
  printf 'F\tC:\\Games\\Sorelune\\Sorelune.exe\r\n' >"$game/Setup.log"
}

# An update for the game in $2 beside the program: the list, loose files
# and a source package.
make_update() {
  local update=$1 game=$2
  mkdir -p "$update/data" "$update/音楽" "$update/script" "$E2E_CASE/package"
  printf 'Sorelune 1.01\n' >"$update/Sorelune.exe"
  cp "$game/data/config.ini" "$update/data/config.ini"
  printf 'bgm02 new\n' >"$update/音楽/bgm02.ogg"
  printf 'new script' >"$update/script/main.txt"
  printf 'new title image, longer than before' >"$E2E_CASE/package/title.bmp"
  printf '追加データ' | iconv -f UTF-8 -t CP932 >"$E2E_CASE/package/extra.dat"
  printf 'readme from the package\r\n' >"$E2E_CASE/package/readme_jp.txt"
  sample archive "$update/patch.qrv" 'image\title.bmp'="$E2E_CASE/package/title.bmp" \
    '追加データ.dat'="$E2E_CASE/package/extra.dat" 'readme_jp.txt'="$E2E_CASE/package/readme_jp.txt"
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

standard_case() {
  GAME=$E2E_CASE/ゲーム表
  UPDATE=$E2E_CASE/update
  make_game "$GAME"
  make_update "$UPDATE" "$GAME"
  set_install_folder "$(winpath "$GAME" folder)"
}

# Starts the updater on $UPDATE and confirms "実行".
start_confirmed_run() {
  start_updater "$UPDATE"
  drive wait-dialog click 1002 wait-box "$CONFIRM_CAPTION" answer OK
}

# A run held at a retry prompt: the third entry replaces a file that is not
# there yet (target checking is off for it). With "last", that entry is the
# last one.
held_case() {
  GAME=$E2E_CASE/game
  UPDATE=$E2E_CASE/update
  mkdir -p "$GAME" "$UPDATE"
  printf 'first' >"$UPDATE/first.txt"
  printf 'later, new' >"$UPDATE/later.dat"
  printf 'last' >"$UPDATE/last.txt"
  printf '' >"$GAME/Setup.log"
  printf 'C\tfirst.txt\r\nN\r\nR\tlater.dat\r\n' >"$UPDATE/UpDate.lst"
  [ "${1:-}" = last ] || printf 'C\tlast.txt\r\n' >>"$UPDATE/UpDate.lst"
  set_install_folder "$(winpath "$GAME" folder)"
  start_confirmed_run
  drive wait-box "$COPY_ERROR" expect-box-buttons Retry,Cancel none \
    expect-box-text-starts "$FILE_ERROR_HEAD$(winpath "$GAME" folder)later.dat\\nerrorcode:2\\nerrorcomment:"
}

# --- the dialog ---

scenario_template() {
  drive dump-template "$(winpath "$E2E_EXE")" >"$E2E_CASE/template"
  cat >"$E2E_CASE/expected" <<'TEMPLATE'
dialog style=0x90C000C0 exstyle=0x00040000 help=0 rect=0,0,222,83 menu= class=
title=「Sorelune」　アップデート
font=9,0,0,1,ＭＳ Ｐゴシック
item id=0x00000001 style=0x48010001 exstyle=0x00000000 help=0 rect=165,7,50,14 class=button text=OK
item id=0x00000002 style=0x50010000 exstyle=0x00000000 help=0 rect=165,61,50,15 class=button text=ｷｬﾝｾﾙ
item id=0x000003E8 style=0x50810080 exstyle=0x00000000 help=0 rect=7,29,185,12 class=edit text=
item id=0x000003E9 style=0x50010000 exstyle=0x00000000 help=0 rect=194,27,21,15 class=button text=参照
item id=0xFFFFFFFF style=0x50020000 exstyle=0x00000000 help=0 rect=7,13,193,10 class=static text=「Sorelune」のアップデートを行います
item id=0x000003EA style=0x50010000 exstyle=0x00000000 help=0 rect=115,61,50,15 class=button text=実行
item id=0x000003EB style=0x40800000 exstyle=0x00000000 help=0 rect=7,47,208,10 class=msctls_progress32 text=Progress1
TEMPLATE
  diff "$E2E_CASE/expected" "$E2E_CASE/template"
}

scenario_initial_dialog() {
  mkdir -p "$E2E_CASE/update" "$E2E_CASE/game"
  set_install_folder "$(winpath "$E2E_CASE/game" folder)"
  start_updater "$E2E_CASE/update"
  drive wait-dialog \
    expect-visible 1 no expect-enabled 1 no expect-visible 1003 no \
    expect-visible 2 yes expect-visible 1000 yes expect-visible 1001 yes expect-visible 1002 yes expect-visible -1 yes \
    expect-enabled 2 yes expect-enabled 1001 yes expect-enabled 1002 yes \
    expect-text -1 "$LABEL" expect-text 2 'ｷｬﾝｾﾙ' expect-text 1001 '参照' expect-text 1002 '実行' \
    expect-focus 2
  shot dialog "$(drive wait-dialog rect)"
  # Tab moves on to the edit control; Enter there does nothing (the
  # default button is the hidden, disabled OK).
  drive key tab sleep 200 expect-focus 1000 key return sleep 300 wait-dialog expect-no-box '*'
  # Cancel while idle closes at once, without a question.
  drive click 2 wait-closed
  updater_ended
}

scenario_escape_while_idle() {
  mkdir -p "$E2E_CASE/update"
  start_updater "$E2E_CASE/update"
  drive wait-dialog key escape wait-closed
  updater_ended
}

# Shows the dialog on an empty update folder, checks the install folder
# field and closes.
expect_install_folder() {
  start_updater "$E2E_CASE/update"
  drive wait-dialog expect-text 1000 "$1" click 2 wait-closed
  updater_ended
}

scenario_install_folder_from_registry() {
  mkdir -p "$E2E_CASE/update"
  # Used exactly as stored: with its backslash, and without one.
  set_install_folder 'D:\Games\ソレルーン\'
  expect_install_folder 'D:\Games\ソレルーン\'
  set_install_folder 'D:\Games\Sorelune'
  expect_install_folder 'D:\Games\Sorelune'
  # A 64-bit installer's key (the 64-bit view) is found too; when both views
  # have one, the 32-bit installer's wins.
  remove_game_key
  set_install_folder 'E:\Sixty-four\' 64
  expect_install_folder 'E:\Sixty-four\'
  set_install_folder 'D:\Thirty-two\' 32
  expect_install_folder 'D:\Thirty-two\'
  # A 32-bit key whose value cannot be read leaves it to the 64-bit one.
  "$E2E_WINE" reg add "$GAME_KEY" /v Directory /t REG_DWORD /d 7 /reg:32 /f >/dev/null
  expect_install_folder 'E:\Sixty-four\'
}

scenario_install_folder_fallbacks() {
  mkdir -p "$E2E_CASE/update"
  # The prefix's values come back for the scenarios that follow (the EXIT
  # trap of the scenario's subshell).
  restore() {
    "$E2E_WINE" reg add "$CURRENT_VERSION_KEY" /v ProgramFilesDir /t REG_SZ /d 'C:\Program Files (x86)' /reg:32 /f
    "$E2E_WINE" reg add "$CURRENT_VERSION_KEY" /v ProgramFilesDir /t REG_SZ /d 'C:\Program Files' /reg:64 /f
  } >/dev/null
  trap restore EXIT
  # As on 64-bit Windows: the 32-bit view's Program Files is the (x86) one,
  # and the 64-bit view's is not used.
  remove_game_key
  "$E2E_WINE" reg add "$CURRENT_VERSION_KEY" /v ProgramFilesDir /t REG_SZ /d 'E:\Sixty-four' /reg:64 /f >/dev/null
  expect_install_folder 'C:\Program Files (x86)\Quorvane\Sorelune\'
  "$E2E_WINE" reg add "$CURRENT_VERSION_KEY" /v ProgramFilesDir /t REG_SZ /d 'E:\Apps' /reg:32 /f >/dev/null
  expect_install_folder 'E:\Apps\Quorvane\Sorelune\'
  # A game key whose value cannot be read (not a string, or longer than the
  # 128-byte buffer) gives the derived default, never stale text.
  "$E2E_WINE" reg add "$GAME_KEY" /v Directory /t REG_DWORD /d 7 /reg:32 /f >/dev/null
  expect_install_folder 'E:\Apps\Quorvane\Sorelune\'
  set_install_folder "C:\\$(printf 'x%.0s' $(seq 130))\\" 32
  set_install_folder "C:\\$(printf 'y%.0s' $(seq 130))\\" 64
  expect_install_folder 'E:\Apps\Quorvane\Sorelune\'
  # Neither key in the 32-bit view: the last-resort folder.
  remove_game_key
  "$E2E_WINE" reg delete "$CURRENT_VERSION_KEY" /v ProgramFilesDir /reg:32 /f >/dev/null
  expect_install_folder 'C:\Program Files\Quorvane\Sorelune\'
}

scenario_browse() {
  # ソ ends in the byte 0x5C, which is no backslash: the folder still gets one.
  local folder=$E2E_CASE/ゲームソ
  mkdir -p "$E2E_CASE/update" "$folder"
  # The browser opens at the folder in the edit control; choosing it adds
  # the backslash. Cancelling leaves the text.
  set_install_folder "$(winpath "$folder")"
  start_updater "$E2E_CASE/update"
  drive wait-dialog click 1001 wait-browser answer Cancel expect-text 1000 "$(winpath "$folder")"
  # Waits until the browser has preselected the folder: a loaded machine may
  # take longer than any fixed pause.
  drive browse-to ゲームソ answer OK expect-text 1000 "$(winpath "$folder" folder)"
  drive click 2 wait-closed
  updater_ended
}

# A folder whose name CP932 cannot spell: the field keeps its text and a
# warning box owned by the dialog says so.
# The folder lies on drive C:, few levels down, where Wine's browser gets to
# the folder to preselect quickly.
scenario_browse_unnameable_folder() {
  rm -rf "$WINEPREFIX/drive_c/Café"
  mkdir -p "$E2E_CASE/update" "$WINEPREFIX/drive_c/Café"
  start_updater "$E2E_CASE/update"
  drive wait-dialog set-text 1000 'C:\Café' browse-to Café answer OK wait-box "$BROWSE_TITLE" expect-box "$BROWSE_TITLE" "$UNUSABLE_FOLDER" OK dialog
  shot unusable-folder "$(union_rect "$(drive wait-dialog rect)" "$(drive wait-box "$BROWSE_TITLE" rect)")"
  drive wait-box "$BROWSE_TITLE" answer OK expect-no-box '*' expect-text 1000 'C:\Café'
  drive click 2 wait-closed
  updater_ended
}

scenario_decline_execute() {
  standard_case
  local before
  before=$(tree_sum "$GAME")
  start_updater "$UPDATE"
  drive wait-dialog click 1002 wait-box "$CONFIRM_CAPTION" \
    expect-box "$CONFIRM_CAPTION" "$CONFIRM_TEXT" OK,Cancel dialog answer Cancel \
    expect-enabled 1002 yes expect-enabled 1001 yes expect-visible 1003 no expect-no-box '*'
  drive click 2 wait-closed
  updater_ended
  [ "$before" = "$(tree_sum "$GAME")" ]
}

# --- whole runs ---

check_standard_result() {
  same_file "$GAME/Sorelune.exe" "$UPDATE/Sorelune.exe"
  same_file "$GAME/data/config.ini" "$UPDATE/data/config.ini"
  same_file "$GAME/音楽/bgm02.ogg" "$UPDATE/音楽/bgm02.ogg"
  same_file "$GAME/readme_jp.txt" "$E2E_CASE/package/readme_jp.txt"
  same_file "$GAME/音楽/bgm01.ogg" <(printf 'bgm01 old\n')
  same_entry "$GAME/data.qrv" 'image\title.bmp' "$E2E_CASE/package/title.bmp"
  same_entry "$GAME/data.qrv" 'data\追加データ.dat' "$E2E_CASE/package/extra.dat"
  same_entry "$GAME/data.qrv" 'script\main.txt' "$UPDATE/script/main.txt"
  same_entry "$GAME/data.qrv" 'voice\セリフ.ogg' "$E2E_CASE/old/voice.ogg"
  [ "$(sample names "$GAME/data.qrv" | tr '\n' '|')" = 'image\title.bmp|script\main.txt|voice\セリフ.ogg|data\追加データ.dat|' ]
  # The two created files are logged, in CP932, after the existing line.
  local folder
  folder=$(winpath "$GAME" folder)
  printf 'F\tC:\\Games\\Sorelune\\Sorelune.exe\r\nF\t%s音楽\\bgm02.ogg\r\nF\t%sreadme_jp.txt\r\n' "$folder" "$folder" \
    | iconv -f UTF-8 -t CP932 >"$E2E_CASE/expected.log"
  same_file "$GAME/Setup.log" "$E2E_CASE/expected.log"
}

scenario_whole_run_then_rerun() {
  standard_case
  start_confirmed_run
  drive wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_CHANGED" OK dialog \
    expect-visible 1003 yes expect-enabled 1001 no expect-enabled 1002 no wait-progress 1000
  shot run-finished "$(union_rect "$(drive wait-dialog rect)" "$(drive wait-box "$DONE_CAPTION" rect)")"
  drive wait-box "$DONE_CAPTION" answer OK wait-closed
  updater_ended
  check_standard_result
  # The same update again finds everything up to date and writes nothing.
  local before
  before=$(tree_sum "$GAME")
  start_confirmed_run
  drive wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_NOTHING" OK dialog answer OK wait-closed
  updater_ended
  [ "$before" = "$(tree_sum "$GAME")" ]
}

# The folder typed into the edit control is the one the run uses.
scenario_typed_install_folder() {
  standard_case
  set_install_folder 'C:\not\the\game\'
  start_updater "$UPDATE"
  drive wait-dialog set-text 1000 "$(winpath "$GAME" folder)" click 1002 wait-box "$CONFIRM_CAPTION" answer OK \
    wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_CHANGED" OK dialog answer OK wait-closed
  updater_ended
  check_standard_result
}

# --- aborts: the message, and nothing changed ---

expect_abort() {
  local message=$1 before
  before=$(tree_sum "$GAME")
  start_confirmed_run
  drive wait-box "$ABORT_CAPTION" expect-box "$ABORT_CAPTION" "$message" OK dialog answer OK wait-closed
  updater_ended
  [ "$before" = "$(tree_sum "$GAME")" ] || { echo "the install folder changed"; return 1; }
}

scenario_abort_without_list() {
  standard_case
  rm "$UPDATE/UpDate.lst"
  expect_abort "$ABORT_LIST"
  printf '\r\n c\tnothing\r\n' >"$UPDATE/UpDate.lst"  # no accepted line
  expect_abort "$ABORT_LIST"
}

scenario_abort_missing_source() {
  standard_case
  printf 'C\tnot_delivered.dat\r\n' >>"$UPDATE/UpDate.lst"
  expect_abort "$ABORT_SOURCE"
}

scenario_abort_missing_target() {
  standard_case
  rm "$GAME/Sorelune.exe"
  expect_abort "$ABORT_TARGET"
}

scenario_abort_broken_archive() {
  standard_case
  printf 'QRV00X and the rest of a header....' >"$GAME/data.qrv"
  expect_abort "$ABORT_MAGIC"
}

# --- retry prompts and the cancel question ---

scenario_retry_after_file_appears() {
  held_case
  shot retry-prompt "$(union_rect "$(drive wait-dialog rect)" "$(drive wait-box "$COPY_ERROR" rect)")"
  printf 'later, old' >"$GAME/later.dat"
  drive wait-box "$COPY_ERROR" answer Retry wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_CHANGED" OK dialog \
    answer OK wait-closed
  updater_ended
  same_file "$GAME/first.txt" "$UPDATE/first.txt"
  same_file "$GAME/later.dat" "$UPDATE/later.dat"
  same_file "$GAME/last.txt" "$UPDATE/last.txt"
}

scenario_retry_prompt_cancelled() {
  held_case
  drive wait-box "$COPY_ERROR" answer Cancel wait-box "$ABORT_CAPTION" \
    expect-box "$ABORT_CAPTION" "$ABORT_FILE" OK dialog answer OK wait-closed
  updater_ended
  same_file "$GAME/first.txt" "$UPDATE/first.txt"  # applied before the failure, kept
  absent "$GAME/last.txt"
}

scenario_cancel_question_declined() {
  held_case
  # The prompt has no owner, so the dialog still takes Cancel.
  drive wait-dialog click 2 wait-box "$CANCEL_CAPTION" expect-box "$CANCEL_CAPTION" "$CANCEL_TEXT" OK,Cancel dialog
  shot cancel-question "$(union_rect "$(drive wait-dialog rect)" "$(drive wait-box "$CANCEL_CAPTION" rect)")"
  # The entry at the prompt finishes; the worker then holds before the next.
  printf 'later, old' >"$GAME/later.dat"
  drive wait-box "$COPY_ERROR" answer Retry wait-progress 500 sleep 500
  same_file "$GAME/later.dat" "$UPDATE/later.dat"
  absent "$GAME/last.txt"
  # Declined: the run goes on with the next entry, none skipped.
  drive wait-box "$CANCEL_CAPTION" answer Cancel wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_CHANGED" OK dialog \
    answer OK wait-closed
  updater_ended
  same_file "$GAME/first.txt" "$UPDATE/first.txt"
  same_file "$GAME/last.txt" "$UPDATE/last.txt"
  [ "$(cat "$GAME/Setup.log" | tr -d '\r')" = "$(printf 'F\t%sfirst.txt\nF\t%slast.txt' "$(winpath "$GAME" folder)" "$(winpath "$GAME" folder)")" ]
}

scenario_cancel_question_confirmed() {
  held_case
  drive wait-dialog click 2 wait-box "$CANCEL_CAPTION" answer OK
  # A second Cancel after the confirmed one asks nothing.
  drive click 2 sleep 500 expect-no-box "$CANCEL_CAPTION"
  # The entry at the prompt still ends; the run stops before the next one.
  printf 'later, old' >"$GAME/later.dat"
  drive wait-box "$COPY_ERROR" answer Retry wait-box "$ABORT_CAPTION" \
    expect-box "$ABORT_CAPTION" "$ABORT_USER" OK dialog answer OK wait-closed
  updater_ended
  same_file "$GAME/later.dat" "$UPDATE/later.dat"
  absent "$GAME/last.txt"
}

# Confirmed while the worker is past its last entry (held at its final
# wait): the run still ends with its usual outcome, and that is shown.
scenario_cancel_confirmed_after_last_entry() {
  held_case last
  drive wait-dialog click 2 wait-box "$CANCEL_CAPTION"
  printf 'later, old' >"$GAME/later.dat"
  drive wait-box "$COPY_ERROR" answer Retry wait-progress 1000 sleep 300
  drive wait-box "$CANCEL_CAPTION" answer OK wait-box "$DONE_CAPTION" expect-box "$DONE_CAPTION" "$DONE_CHANGED" OK dialog \
    answer OK wait-closed
  updater_ended
  same_file "$GAME/later.dat" "$UPDATE/later.dat"
}

scenario_escape_during_run() {
  held_case
  drive wait-dialog key escape wait-box "$CANCEL_CAPTION" expect-box "$CANCEL_CAPTION" "$CANCEL_TEXT" OK,Cancel dialog \
    answer Cancel
  drive wait-box "$COPY_ERROR" answer Cancel wait-box "$ABORT_CAPTION" expect-box "$ABORT_CAPTION" "$ABORT_FILE" OK dialog \
    answer OK wait-closed
  updater_ended
  absent "$GAME/last.txt"
}
