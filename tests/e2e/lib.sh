# Helpers for driving the built program through its window under Xvfb with xdotool; sourced by
# tests/e2e/walk.sh and scripts/screenshots. Every wait is on a window, a file, a row or the
# screen settling, never a fixed delay.

E2E_TIMEOUT=${E2E_TIMEOUT:-90}   # seconds any single wait may take on a loaded machine

# E2E_KEEP=folder: the screen at the failure is kept there as fail.png.
e2e_fail() {
    echo "FAIL: $*" >&2
    # What a failed run on another machine needs to be understood: the open windows and the
    # last lines of the program's and the service's output.
    local w
    if [ -n "${E2E_PID:-}" ] && kill -0 "$E2E_PID" 2>/dev/null; then
        for w in $(xdotool search --onlyvisible --pid "$E2E_PID" 2>/dev/null); do
            echo "window $w: $(xdotool getwindowname "$w" 2>/dev/null) $(xdotool getwindowgeometry "$w" 2>/dev/null | awk '/Geometry/ {print $2}')" >&2
        done
    fi
    [ -z "${E2E_HOME:-}" ] || { echo "--- program output"; tail -n 30 "$E2E_HOME/program.log"; } >&2 2>/dev/null
    [ -z "${E2E_SERVICE_LOG:-}" ] || { echo "--- service output"; tail -n 30 "$E2E_SERVICE_LOG"; } >&2 2>/dev/null
    [ -z "${E2E_KEEP:-}" ] || import -silent -window root "$E2E_KEEP/fail.png" 2>/dev/null || true
    exit 1
}

# Starts a 1366×768 X server on a display number it picks itself (-displayfd: no race with other
# X servers starting at the same moment) and points DISPLAY at it; sets E2E_XVFB_PID.
e2e_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    # -noreset: the server keeps its key map and takes connections while no client is left.
    Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
    E2E_XVFB_PID=$!
    local number
    read -r number <"$fifo" || e2e_fail "Xvfb did not start"
    rm -f "$fifo"
    export DISPLAY=":$number"
}

# e2e_until SECONDS CMD…: runs CMD until it succeeds; fails after SECONDS.
e2e_until() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}

# The environment of one author: HOME and the XDG folders inside $1.
e2e_profile_env() {
    mkdir -p "$1"
    echo "HOME=$1 XDG_DATA_HOME=$1/.local/share XDG_CONFIG_HOME=$1/.config XDG_CACHE_HOME=$1/.cache"
}

e2e_data_dir() { echo "$1/.local/share/inkboathq/Inkboat"; }

# The visible top-level window of process $1 (the frame), once it is mapped.
e2e_window_of() {
    local w width
    for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        # The frame is the large one; tool tips and bubbles are small.
        width=$(xdotool getwindowgeometry "$w" 2>/dev/null | awk '/Geometry/ {split($2, size, "x"); print size[1]}')
        [ -n "$width" ] && [ "$width" -ge 400 ] && { echo "$w"; return 0; }
    done
    return 1
}

# e2e_traced HOME PATTERN: how many trace lines of the profile HOME match PATTERN.
e2e_traced() { cat "$(e2e_data_dir "$1")"/log/per*.log 2>/dev/null | grep -c "$2" || true; }

# e2e_start_fitted HOME: the program started for that profile (sets E2E_PID, E2E_HOME, E2E_WIN),
# its first show over, laid over the whole 1366×768 screen and painted. The first show is traced
# once the trees and the author's place are back: before that, a click can land on an empty tree
# and the restored place then moves the selection and the focus under the next keys; and it puts
# back the stored geometry: moved before it, the window can move again under the next click.
e2e_start_fitted() {
    local home=$1 shows try
    shows=$(e2e_traced "$home" '<首次显示>')
    # A service on the default port (anyone's "make service") would bring its upgrades and news
    # into the walk: unless E2E_SERVICE_URL names one, the program finds none.
    # shellcheck disable=SC2046
    env $(e2e_profile_env "$home") LANG=C.UTF-8 QT_QPA_PLATFORM=xcb INKBOAT_TRACE_LOG=1 \
        INKBOAT_SERVICE_URL="${E2E_SERVICE_URL:-http://127.0.0.1:1/}" "$E2E_PROGRAM" >>"$home/program.log" 2>&1 &
    E2E_PID=$!
    E2E_HOME=$home
    e2e_until "$E2E_TIMEOUT" e2e_window_of "$E2E_PID" >/dev/null || e2e_fail "no window of process $E2E_PID"
    E2E_WIN=$(e2e_window_of "$E2E_PID")
    _e2e_shown() { [ "$(e2e_traced "$home" '<首次显示>')" -gt "$shows" ]; }
    e2e_until "$E2E_TIMEOUT" _e2e_shown || e2e_fail "the window's first show never ended"
    for try in 1 2 3; do
        xdotool windowmove "$E2E_WIN" 0 0 windowsize "$E2E_WIN" 1366 768
        e2e_wait_settled
        [ "$(xdotool getwindowgeometry "$E2E_WIN" | awk '/Position/ {print $2}')" != 0,0 ] || return 0
    done
    e2e_fail "the window does not stay at the top left of the screen"
}

# The height of window $1.
e2e_height() { xdotool getwindowgeometry "$1" 2>/dev/null | awk -F'[x ]' '/Geometry/ {print $NF}'; }

# e2e_keys KEY N: KEY N times, then Return (a menu's n-th command).
e2e_keys() {
    local keys=()
    for _ in $(seq "$2"); do keys+=("$1"); done
    xdotool key "${keys[@]}" Return
}

# Windows of process $1 that are visible now, one id a line. Notices that take no input (the
# reminders' toasts, which come and go by themselves) are left out: taken for the window a step
# waits for, they sent its keys to the book tree.
e2e_windows() {
    local w
    for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        xprop -id "$w" WM_HINTS 2>/dev/null | grep -q 'input focus: False' || echo "$w"
    done | sort
}

# e2e_wait_new_window PID BEFORE [MIN-HEIGHT]: waits for a visible window of PID not in BEFORE and
# at least MIN-HEIGHT (default 40) high: the reminder bubbles (30 high) come and go on their own and
# are no menu or dialog; sets E2E_DLG.
e2e_wait_new_window() {
    e2e_new_window_within "$E2E_TIMEOUT" "$@" || e2e_fail "no new window of process $1"
}

# e2e_new_window_within SECONDS PID BEFORE [MIN-HEIGHT]: the same, failing quietly.
e2e_new_window_within() {
    local limit=$1 pid=$2 before=$3 min=${4:-40}
    _e2e_new() {
        local w h
        for w in $(e2e_windows "$pid" | grep -vxF "$before"); do
            h=$(e2e_height "$w")
            [ "$min" -eq 0 ] || { [ -n "$h" ] && [ "$h" -ge "$min" ]; } || continue
            E2E_DLG=$w
            return 0
        done
        return 1
    }
    e2e_until "$limit" _e2e_new
}

# e2e_wait_window_gone PID WINDOW
e2e_wait_window_gone() {
    _e2e_gone() { ! e2e_windows "$1" | grep -qx "$2"; }
    e2e_until "$E2E_TIMEOUT" _e2e_gone "$1" "$2" || e2e_fail "window $2 of process $1 did not close"
}

# The whole screen as PNG.
e2e_shot() { import -silent -window root "$1"; }

# Waits until two pictures of the screen taken one after the other are the same: painting done.
e2e_wait_settled() {
    local tmp=${TMPDIR:-/tmp}/e2e-settle.$$
    _e2e_same() {
        import -silent -window root "$tmp.a.rgb" 2>/dev/null
        import -silent -window root "$tmp.b.rgb" 2>/dev/null
        cmp -s "$tmp.a.rgb" "$tmp.b.rgb"
    }
    e2e_until "$E2E_TIMEOUT" _e2e_same || e2e_fail "the screen never settled"
    rm -f "$tmp.a.rgb" "$tmp.b.rgb"
}

# e2e_stop PID: SIGTERM (the program's orderly quit) and its exit code checked.
e2e_stop() {
    local pid=$1 rc=0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || rc=$?
    [ "$rc" -eq 0 ] || e2e_fail "the program ended with $rc"
}

# e2e_sql HOME SQL: a query on the main file (only while the program is not running: it holds
# its files exclusively).
e2e_sql() { sqlite3 -batch -noheader "$(e2e_data_dir "$1")/Inkboat.sdb" <<<"$2"; }

# Number of distinct colours in a region of a PNG: WxH+X+Y.
e2e_colours() { convert "$1" -crop "$2" +repage -format '%k' info:; }

# e2e_service_start FOLDER: the stand-in web service on a free loopback port, its store and fault
# rules in FOLDER; sets E2E_SERVICE_PID, E2E_FAULTS (the rules file, empty at first) and exports
# its address as E2E_SERVICE_URL (and INKBOAT_SERVICE_URL) for the programs started afterwards.
e2e_service_start() {
    local folder=$1 root port
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    mkdir -p "$folder"
    E2E_FAULTS=$folder/faults
    : >"$E2E_FAULTS"
    port=$(php -r '$s = stream_socket_server("tcp://127.0.0.1:0"); $n = stream_socket_get_name($s, false); echo substr($n, strrpos($n, ":") + 1);')
    INKBOAT_SERVER_DATA=$folder/data INKBOAT_SERVICE_FAULTS_FILE=$E2E_FAULTS PHP_CLI_SERVER_WORKERS=4 \
        php -d enable_post_data_reading=0 -S "127.0.0.1:$port" -t "$root/server" "$root/server/tests/test-router.php" >"$folder/service.log" 2>&1 &
    E2E_SERVICE_LOG=$folder/service.log
    E2E_SERVICE_PID=$!
    export INKBOAT_SERVICE_URL="http://127.0.0.1:$port/"
    E2E_SERVICE_URL=$INKBOAT_SERVICE_URL
    e2e_until "$E2E_TIMEOUT" curl -fs -o /dev/null "${INKBOAT_SERVICE_URL}index.php?g=Inkboat&m=WebApi&a=eshoplinks" ||
        e2e_fail "the web service did not start"
}

# e2e_service_stop: the service and its worker processes.
e2e_service_stop() {
    [ -n "${E2E_SERVICE_PID:-}" ] || return 0
    pkill -TERM -P "$E2E_SERVICE_PID" 2>/dev/null || true
    kill -TERM "$E2E_SERVICE_PID" 2>/dev/null || true
    wait "$E2E_SERVICE_PID" 2>/dev/null || true
    E2E_SERVICE_PID=
}

# The service's store (SQLite) of the folder given to e2e_service_start.
e2e_service_sql() { sqlite3 -batch -noheader "$1/data/inkboat-service.sqlite" <<<"$2"; }

# e2e_answer_message KNOWN: Return on the next message window of the program that is not in
# KNOWN (window ids, one a line); reminder bubbles (low windows) are not messages.
e2e_answer_message() {
    local known=$1 msg=
    _e2e_message() {
        local w h
        for w in $(e2e_windows "$E2E_PID" | grep -vxF "$known"); do
            # the sync's progress dialog is no message
            [[ $(xdotool getwindowname "$w" 2>/dev/null) == 请稍后* ]] && continue
            h=$(e2e_height "$w")
            if [ -n "$h" ] && [ "$h" -ge 80 ]; then
                msg=$w
                return 0
            fi
        done
        return 1
    }
    e2e_until "$E2E_TIMEOUT" _e2e_message || e2e_fail "no message window"
    e2e_wait_settled
    xdotool windowfocus --sync "$msg"
    xdotool key Return
    e2e_wait_window_gone "$E2E_PID" "$msg"
}

# e2e_account_dialog DOWNS FIELD…: the n-th enabled command of the 系统 menu (the menu bar's first
# title) opens an account dialog; the fields are typed into it from its first one (clicked: a
# dialog may start in another field) with Tab between them, then Return, and the success message
# is answered. With cloud sync on, a first sign-in on this computer syncs before that message.
e2e_account_dialog() {
    local downs=$1 before attempt menu dlg WINDOW X Y WIDTH HEIGHT SCREEN keys=(ctrl+a) field
    shift
    before=$(e2e_windows "$E2E_PID")
    # A click that comes while the window is still busy after its start can get lost: once more.
    for attempt in 1 2 3; do
        xdotool windowfocus --sync "$E2E_WIN"
        xdotool mousemove 23 38 click 1    # the window lies at the top left of the screen
        e2e_new_window_within 15 "$E2E_PID" "$before" 80 && break
        [ $attempt -lt 3 ] || e2e_fail "the 系统 menu does not open"
    done
    menu=$E2E_DLG
    e2e_wait_settled
    e2e_keys Down "$downs"
    e2e_wait_window_gone "$E2E_PID" "$menu"
    e2e_wait_new_window "$E2E_PID" "$before" 80
    dlg=$E2E_DLG
    e2e_wait_settled
    eval "$(xdotool getwindowgeometry --shell "$dlg")"
    xdotool windowfocus --sync "$dlg"
    xdotool mousemove $((X + WIDTH * 6 / 10)) $((Y + 46)) click 1
    for field in "$@"; do
        xdotool key "${keys[@]}"
        xdotool type --delay 20 "$field"
        keys=(Tab ctrl+a)
    done
    xdotool key Return
    e2e_answer_message "$before"$'\n'"$dlg"
    e2e_wait_window_gone "$E2E_PID" "$dlg"
}

# e2e_register USER PASSWORD: a new account through 系统 → 注册.
e2e_register() { e2e_account_dialog 1 "$1" "$1@example.com" "$1@example.com" "$2" "$2"; }

# e2e_sign_in USER PASSWORD [change]: 系统 → 登录, or 更换用户 while signed in.
e2e_sign_in() { e2e_account_dialog "$([ "${3:-}" = change ] && echo 3 || echo 2)" "$1" "$2"; }
