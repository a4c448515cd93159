#!/usr/bin/env bash
# One walk through the program as an author would take it, under Xvfb, driven only through the
# window with xdotool: keys first, clicks at positions taken from the window's geometry where
# no key reaches a widget. Each step checks the database files or a picture of the screen and
# prints one line.
# usage: tests/e2e/walk.sh BUILD-DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:?usage: walk.sh BUILD-DIR}")
# shellcheck source=lib.sh
source "$here/lib.sh"
bindkeys=$(mktemp)
cc -O -o "$bindkeys" "$here/bindkeys.c" -lX11
E2E_PROGRAM=$build/inkboat
work=$(mktemp -d)
e2e_xvfb
# E2E_KEEP=folder keeps the step pictures and the programs' output there (for a failed walk).
trap 'kill "${E2E_PID:-0}" 2>/dev/null && wait "${E2E_PID:-0}"; e2e_service_stop; kill "$E2E_XVFB_PID"; [ -z "${E2E_KEEP:-}" ] || { cp "$work"/*.png "$E2E_KEEP"/; for p in "$work"/*/program.log "$work"/service/service.log; do [ ! -f "$p" ] || cp "$p" "$E2E_KEEP/$(basename "$(dirname "$p")").log"; done; for p in "$work"/*/.local/share/inkboathq/Inkboat/log/per*.log; do [ ! -f "$p" ] || cp "$p" "$E2E_KEEP/$(echo "${p#"$work"/}" | cut -d/ -f1)-trace.log"; done; }; rm -rf "$work" "$bindkeys"' EXIT
author=$work/author
n=0
step() { n=$((n + 1)); printf 'e2e %2d: %s\n' "$n" "$*"; }

# Positions inside the main window (laid over the whole screen), relative to its top left.
at() { xdotool mousemove $(( $1 )) $(( $2 )); }
TREE_EMPTY="100 400"; EDITOR="650 400"
ROW1="75 126"; ROW2="117 145"; ROW3="117 164"
SEARCH_BOX="1195 99"; MATERIAL_FIRST="1150 438"
EDITOR_TEXT_REGION="700x120+240+90"; MATERIAL_LIST_REGION="280x110+1076+430"
SUGGESTION_REGION="600x48+242+542"     # the first rows of the suggestion list
TREE_REGION="230x600+3+115"
# filled PNG REGION: the region shows more than two colours (text or rows drawn).
filled() { [ "$(e2e_colours "$1" "$2")" -gt 2 ]; }
# differ PNG PNG REGION: the two pictures differ in that region.
differ() { ! cmp -s <(convert "$1" -crop "$3" rgb:-) <(convert "$2" -crop "$3" rgb:-); }
# holds TEXT PART WHY: TEXT contains PART, else the walk fails saying WHY.
holds() { grep -q "$2" <<<"$1" || e2e_fail "$3: $1"; }

# Text through the keyboard; its characters were bound to keys beforehand (bindkeys).
type_text() {
    e2e_wait_settled
    xdotool type --delay 100 "$1"
    e2e_wait_settled
}

# context_menu X Y KEY N: a right-click at a tree position, then KEY (Down or Up) N times and Return.
context_menu() {
    local before
    before=$(e2e_windows "$E2E_PID")
    at "$1" "$2"; xdotool click 3
    e2e_wait_new_window "$E2E_PID" "$before"
    e2e_wait_settled    # the menu drawn and holding the keyboard
    e2e_keys "$3" "$4"
    e2e_wait_window_gone "$E2E_PID" "$E2E_DLG"
}
tree_menu() { context_menu "$1" "$2" Down "$3"; }

# The new node is in rename mode: its title, then Return.
name_node() { type_text "$1"; xdotool key Return; e2e_wait_settled; }

# The first-use tour's bubble is a window of its own; its 关闭 button ends the tour.
close_tour() {
    _tour() { OTHER=$(e2e_windows "$E2E_PID" | grep -vx "$E2E_WIN" | head -1); [ -n "$OTHER" ]; }
    e2e_until "$E2E_TIMEOUT" _tour || e2e_fail "the first-use tour is not shown"
    eval "$(xdotool getwindowgeometry --shell "$OTHER")"
    xdotool mousemove $((X + WIDTH - 50)) $((Y + HEIGHT - 23)) click 1
    e2e_wait_window_gone "$E2E_PID" "$OTHER"
    e2e_wait_settled
}

# region_filled PNG REGION: waits until the region of the screen is filled; the last picture is left in PNG.
region_filled() {
    _filled() { e2e_shot "$1" && filled "$1" "$2"; }
    e2e_until "$E2E_TIMEOUT" _filled "$1" "$2"
}

# choose_folder_from_menu X Y UPS FOLDER: a tree menu command counted from the bottom (Up
# UPS times) that asks for a folder; the folder's path is typed into Qt's folder chooser.
choose_folder_from_menu() {
    local before
    before=$(e2e_windows "$E2E_PID")
    context_menu "$1" "$2" Up "$3"
    e2e_wait_new_window "$E2E_PID" "$before"
    local chooser=$E2E_DLG
    e2e_wait_settled
    xdotool key ctrl+a
    xdotool type --delay 20 "$4"
    xdotool key Return
    e2e_wait_window_gone "$E2E_PID" "$chooser"
}

# answer_yes KEYS…: the keys raise a question; its default button says yes.
answer_yes() {
    local before
    before=$(e2e_windows "$E2E_PID")
    xdotool key "$@"
    e2e_answer_message "$before"
    xdotool windowfocus --sync "$E2E_WIN"
    e2e_wait_settled
}

# The first chapter opened: the book's row, then * (the whole book expanded, whatever was open
# before) and two rows down; relative moves alone land elsewhere when a row is already expanded.
open_chapter_one() {
    at $ROW1; xdotool click 1
    e2e_wait_settled
    xdotool key asterisk Down Down
    e2e_wait_settled
}

# Every character the walk types, bound to keys before the program reads the key map.
TEXTS=(长河 第一卷 第一章 第二章 "风从关外吹来，卷起漫天黄沙。" 沙 黄沙 风沙 甲方改动 乙方改动)
"$bindkeys" "${TEXTS[@]}"

step "first start on an empty profile: window shown, tour closed"
e2e_start_fitted "$author"
close_tour
e2e_shot "$work/s1.png"

step "a book, a volume and two chapters"
# 新书; 新卷 (the book selected); 新章节 twice (新卷 is off on a volume)
for node in "$TREE_EMPTY 1 长河" "$ROW1 2 第一卷" "$ROW2 2 第一章" "$ROW2 2 第二章"; do
    read -r x y item title <<<"$node"
    tree_menu "$x" "$y" "$item"
    name_node "$title"
done
e2e_shot "$work/s2.png"
differ "$work/s1.png" "$work/s2.png" "$TREE_REGION" || e2e_fail "the book tree did not change"

step "Chinese text typed into the first chapter"
at $ROW3; xdotool click 1
e2e_wait_settled
at $EDITOR; xdotool click 1
type_text "风从关外吹来，卷起漫天黄沙。"
xdotool key Return
e2e_wait_settled
e2e_shot "$work/s3.png"
filled "$work/s3.png" "$EDITOR_TEXT_REGION" || e2e_fail "no text in the editor"

step "a material searched and inserted"
at $SEARCH_BOX; xdotool click 1
type_text "沙"
xdotool key Return
region_filled "$work/s4a.png" "$MATERIAL_LIST_REGION" || e2e_fail "no material found"
at $MATERIAL_FIRST; xdotool click --repeat 2 1
e2e_wait_settled
e2e_shot "$work/s4.png"
differ "$work/s3.png" "$work/s4.png" "$EDITOR_TEXT_REGION" || e2e_fail "the material was not inserted"

step "sentences for the selected word listed with Ctrl+W"
at $EDITOR; xdotool click 1
xdotool key ctrl+Home shift+Right shift+Right     # 风从 selected
# Suggestions for the text typed before may still fill the list: the program's trace of the
# Ctrl+W answer, with its key and count, is what only this key can produce.
sentences='<经典词句>风从：[1-9][0-9]* 条'
listed=$(e2e_traced "$author" "$sentences")
xdotool key ctrl+w
_listed() { [ "$(e2e_traced "$author" "$sentences")" -gt "$listed" ]; }
e2e_until "$E2E_TIMEOUT" _listed || e2e_fail "Ctrl+W listed no sentences for 风从"
region_filled "$work/s5.png" "$SUGGESTION_REGION" || e2e_fail "the sentences are not shown"

step "find and replace: 黄沙 becomes 风沙 everywhere"
before=$(e2e_windows "$E2E_PID")
xdotool key ctrl+Home ctrl+r     # the search does not wrap around
e2e_wait_new_window "$E2E_PID" "$before"
dlg=$E2E_DLG
type_text "黄沙"
xdotool key Tab
type_text "风沙"
eval "$(xdotool getwindowgeometry --shell "$dlg")"
xdotool mousemove $((X + WIDTH - 136)) $((Y + HEIGHT - 22)) click 1     # 替换全部
e2e_wait_settled
xdotool windowfocus --sync "$dlg"
xdotool key Escape
e2e_wait_window_gone "$E2E_PID" "$dlg"

step "saved with Ctrl+S and closed"
xdotool windowfocus --sync "$E2E_WIN"
at $EDITOR; xdotool click 1
xdotool key ctrl+s
e2e_wait_settled
e2e_stop "$E2E_PID"
[ "$(e2e_sql "$author" "SELECT COUNT(*) FROM BookTree WHERE Flag<>'D' AND NodeType IN (1,2,3)")" = 4 ] ||
    e2e_fail "not one book, one volume and two chapters: $(e2e_sql "$author" "SELECT Title FROM BookTree")"
text=$(e2e_sql "$author" "SELECT PlainText FROM BookTree WHERE Title='第一章'")
holds "$text" "风从关外吹来，卷起漫天风沙" "the typed text is not stored with 黄沙 replaced"
! grep -q "黄沙" <<<"$text" || e2e_fail "黄沙 was not replaced: $text"
[ "$(grep -c . <<<"$text")" -ge 2 ] || e2e_fail "no material inserted: $text"

step "restart: the chapter's text is back"
e2e_start_fitted "$author"
open_chapter_one
e2e_shot "$work/s7.png"
filled "$work/s7.png" "$EDITOR_TEXT_REGION" || e2e_fail "the chapter shows no text"

step "whole-book search: 风沙 replaced by 黄沙 in both chapters, then the replace undone"
xdotool key Down                        # 第二章
e2e_wait_settled
at $EDITOR; xdotool click 1
type_text "风沙"
xdotool key ctrl+s
xdotool key ctrl+shift+f
type_text "风沙"
xdotool key Tab Tab Tab Tab              # scope, 区分大小写, 包括标题, then 替换为
type_text "黄沙"
e2e_shot "$work/s9a.png"
answer_yes Return                        # 替换所选
e2e_shot "$work/s9b.png"
answer_yes space                         # 撤销全书替换 has the focus after a replace
e2e_shot "$work/s9c.png"
xdotool key ctrl+shift+f                 # the panel away again
e2e_wait_settled
differ "$work/s9a.png" "$work/s9b.png" "$EDITOR_TEXT_REGION" || e2e_fail "the open chapter did not change"
! differ "$work/s9a.png" "$work/s9c.png" "$EDITOR_TEXT_REGION" || e2e_fail "the open chapter did not come back"
e2e_stop "$E2E_PID"
for title in 第一章 第二章; do
    text=$(e2e_sql "$author" "SELECT PlainText FROM BookTree WHERE Title='$title'")
    grep -q "风沙" <<<"$text" && ! grep -q "黄沙" <<<"$text" || e2e_fail "$title is not back as it was: $text"
done
e2e_start_fitted "$author"
open_chapter_one

step "export of the book into a folder"
exported=$work/exported
mkdir -p "$exported"
# The book by key: a click where the last step clicked can make a double click, which renames.
xdotool key Home
e2e_wait_settled
choose_folder_from_menu $ROW1 2 "$exported"     # 导出: second from the bottom of the menu
e2e_until "$E2E_TIMEOUT" bash -c "[ \$(ls '$exported' | grep -c '\.txt\$') -ge 4 ]" || e2e_fail "no files exported"
e2e_answer_message "$E2E_WIN"     # the message at the end of the transfer
e2e_stop "$E2E_PID"

step "import into a second, empty profile, same texts"
second=$work/second
e2e_start_fitted "$second"
close_tour
choose_folder_from_menu $TREE_EMPTY 1 "$exported"  # 导入: last in the menu
e2e_answer_message "$E2E_WIN"     # the message at the end of the transfer
e2e_stop "$E2E_PID"
q="SELECT Title||':'||PlainText FROM BookTree WHERE Flag<>'D' AND NodeType=3 ORDER BY Title"
[ "$(e2e_sql "$second" "$q")" = "$(e2e_sql "$author" "$q")" ] ||
    e2e_fail "imported chapters differ: $(e2e_sql "$second" "$q")"

step "the whole book as one EPUB from the command line, valid by epubcheck"
# shellcheck disable=SC2046
env $(e2e_profile_env "$author") LANG=C.UTF-8 "$E2E_PROGRAM" --export-book 长河 --format epub \
    --output "$work/长河.epub" 2>"$work/export.err" || e2e_fail "the export failed: $(cat "$work/export.err")"
java -jar /usr/share/java/epubcheck.jar -q "$work/长河.epub" >"$work/epubcheck.log" 2>&1 || e2e_fail "epubcheck: $(head -c 600 "$work/epubcheck.log")"
[ "$(unzip -Z1 "$work/长河.epub" | grep -c '^EPUB/c.*\.xhtml$')" = 2 ] || e2e_fail "the EPUB does not hold two chapters"
unzip -p "$work/长河.epub" EPUB/c00001.xhtml | grep -q "风从关外吹来" || e2e_fail "the first chapter lacks its text"

# Sync: the first profile and a third, empty one against a local service, one account.
service=$work/service
e2e_service_start "$service"
third=$work/third
svc() { e2e_service_sql "$service" "$1"; }
# Cloud sync is switched on in the settings' file, as the settings dialog would store it.
cloud_on() { e2e_sql "$1" "UPDATE SysParam SET value=json_set(value,'\$.cloudSyncParams.active',json('true')) WHERE key='SysParams'"; }
# No window of the program left but its main window (reminder bubbles aside): the sync is over.
only_main_window() {
    local w h
    for w in $(e2e_windows "$E2E_PID" | grep -vx "$E2E_WIN"); do
        h=$(e2e_height "$w")
        [ -n "$h" ] && [ "$h" -ge 80 ] && return 1
    done
    return 0
}
# sync_until SQL: Ctrl+Alt+S; waits until the service's store answers SQL with 1 and the
# program has closed its progress window. A key that started nothing (no progress window, no
# message, nothing on the service) is pressed again, as an author would press the button again.
sync_until() {
    _svc_true() { [ "$(svc "$1")" = 1 ]; }
    local attempt
    for attempt in 1 2 3; do
        xdotool windowfocus --sync "$E2E_WIN"
        xdotool key ctrl+alt+s
        e2e_until 15 _svc_true "$1" && break
        only_main_window || break
        echo "e2e: the sync key started nothing; pressed again" >&2
    done
    e2e_until "$E2E_TIMEOUT" _svc_true "$1" || e2e_fail "the service never held: $1"
    e2e_until "$E2E_TIMEOUT" only_main_window || e2e_fail "a window stays open after the sync"
}
# open_chapter_one_and_type TEXT: the first chapter, TEXT at its end, saved.
open_chapter_one_and_type() {
    open_chapter_one
    at $EDITOR; xdotool click 1
    xdotool key ctrl+End Return
    type_text "$1"
    e2e_shot "$work/typed-$(basename "$E2E_HOME").png"
    xdotool key ctrl+s
    e2e_wait_settled
}
chapter_text() { e2e_sql "$1" "SELECT PlainText FROM BookTree WHERE Title='$2' AND Flag<>'D'"; }
# edit_stored HOME TEXT: the profile's first chapter holds TEXT (read before the sync).
edit_stored() { holds "$(chapter_text "$1" 第一章)" "$2" "the edit is not stored"; }
# all_synced HOME: no row of the profile waits for an upload.
all_synced() { [ "$(e2e_sql "$1" "SELECT COUNT(*) FROM BookTree WHERE Synced IS NOT 1")" = 0 ] || e2e_fail "rows still waiting after the sync"; }

step "sync: an account registered and signed in with cloud sync on uploads the book"
cloud_on "$author"
e2e_start_fitted "$author"
e2e_register writer secret123
e2e_sign_in writer secret123
_uploaded() { [ "$(svc "SELECT COUNT(*) FROM sync_rows WHERE title IN ('长河','第一卷','第一章','第二章')")" = 4 ]; }
e2e_until "$E2E_TIMEOUT" _uploaded || e2e_fail "the book is not on the service: $(svc "SELECT title FROM sync_rows")"
e2e_until "$E2E_TIMEOUT" only_main_window || e2e_fail "a window stays open after the sign-in"
e2e_stop "$E2E_PID"
all_synced "$author"

step "sync: a second computer signs in and gets the chapter"
e2e_start_fitted "$third"
close_tour
e2e_stop "$E2E_PID"
cloud_on "$third"
e2e_start_fitted "$third"
e2e_sign_in writer secret123
e2e_until "$E2E_TIMEOUT" only_main_window || e2e_fail "a window stays open after the sign-in"
e2e_stop "$E2E_PID"
holds "$(chapter_text "$third" 第一章)" "风从关外吹来" "the chapter did not arrive"

step "sync: the same chapter edited on both, synced on both: a (冲突) copy beside it"
e2e_start_fitted "$author"
open_chapter_one_and_type "甲方改动"
e2e_stop "$E2E_PID"
edit_stored "$author" 甲方改动
e2e_start_fitted "$third"
open_chapter_one_and_type "乙方改动"
e2e_stop "$E2E_PID"
edit_stored "$third" 乙方改动
e2e_start_fitted "$author"
e2e_sign_in writer secret123
sync_until "SELECT COUNT(*) FROM sync_rows WHERE title='第一章' AND instr(plaintext,'甲方改动')>0"
e2e_stop "$E2E_PID"
e2e_start_fitted "$third"
e2e_sign_in writer secret123
sync_until "SELECT COUNT(*) FROM sync_rows WHERE title='第一章(冲突)' AND instr(plaintext,'甲方改动')>0
            AND origtid=(SELECT tid FROM sync_rows WHERE title='第一章' AND instr(plaintext,'乙方改动')>0)"
e2e_shot "$work/s12.png"
e2e_stop "$E2E_PID"
holds "$(chapter_text "$third" 第一章)" "乙方改动" "the local text did not stay in the chapter"
holds "$(chapter_text "$third" "第一章(冲突)")" "甲方改动" "no conflict copy with the other text"
[ "$(e2e_sql "$third" "SELECT COUNT(*) FROM BookTree WHERE Title='第一章(冲突)' AND
      OrigID=(SELECT ID FROM BookTree WHERE Title='第一章')")" = 1 ] || e2e_fail "the copy does not name its original"
all_synced "$third"
echo "e2e: all steps passed"
