#!/usr/bin/env bash
# Takes docs/screenshot.png: the viewer window listing a day's records, on a virtual X display.
#
#   scripts/screenshot.sh [--million] [build-dir] [output.png]
#
# With --million (default output docs/window-million.png) the day holds a million records; the
# window lists them, then finds "E500000" (a record in the middle of the listing) and, from there,
# "alarm", so that the view shows the middle of the listing with the find bar open.
#
# Needs: a built Tallyview (default build dir: ./build), xvfb (xvfb-run), imagemagick (import),
# x11-utils (xwininfo), python3, libxtst6 and a CJK font (fonts-noto-cjk) so that the Chinese
# texts render. The program runs in a temporary working directory with a small "dbLog.db" of
# today's records; the script focuses the window, presses Tab (to "查询") and Space through the
# X test extension, and photographs the window.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)

if [[ "${1:-}" == "--inner" ]]; then
    # Running inside xvfb-run: $2 program, $3 working directory, $4 output, $5 mode.
    program=$2 workdir=$3 output=$4 mode=${5:-day}
    cd "$workdir"
    QT_QPA_PLATFORM=xcb "$program" >/dev/null 2>&1 &
    pid=$!
    trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT

    window=""
    for _ in $(seq 1 600); do  # a first start on a large log builds its index first
        window=$(xwininfo -root -tree | awk '/\("Tallyview" "Tallyview"\)/ { print $1; exit }')
        [[ -n "$window" ]] && break
        sleep 0.1
    done
    [[ -n "$window" ]] || { echo "screenshot: the window did not appear" >&2; exit 1; }
    sleep 1

    # Give the window the keyboard focus, then Tab from "高级" to "查询" and press it.
    python3 - "$window" "$mode" <<'PY'
import ctypes, sys, time
x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
for f in (x11.XSetInputFocus, x11.XKeysymToKeycode, x11.XFlush, x11.XSync, x11.XCloseDisplay):
    pass
x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("screenshot: cannot open the X display")
window = int(sys.argv[1], 16)
REVERT_TO_PARENT, CURRENT_TIME = 2, 0
x11.XSetInputFocus(display, window, REVERT_TO_PARENT, CURRENT_TIME)
x11.XSync(display, 0)
time.sleep(0.5)

def press(keysym):
    code = x11.XKeysymToKeycode(display, keysym)
    xtst.XTestFakeKeyEvent(display, code, 1, 0)
    xtst.XTestFakeKeyEvent(display, code, 0, 0)
    x11.XSync(display, 0)
    time.sleep(0.3)

XK_Tab, XK_space = 0xFF09, 0x0020
press(XK_Tab)
press(XK_space)

if sys.argv[2] == "million":
    time.sleep(20)  # the query of a million records
    XK_Control_L = 0xFFE3

    def chord(keysym):
        control = x11.XKeysymToKeycode(display, XK_Control_L)
        xtst.XTestFakeKeyEvent(display, control, 1, 0)
        press(keysym)
        xtst.XTestFakeKeyEvent(display, control, 0, 0)
        x11.XSync(display, 0)
        time.sleep(0.3)

    def type_text(text):
        for ch in text:
            press(ord(ch))

    chord(ord("f"))
    type_text("E500000")
    time.sleep(3)
    chord(ord("a"))
    type_text("alarm")
    time.sleep(3)
x11.XCloseDisplay(display)
PY
    sleep 1
    import -window "$window" "$output"
    exit 0
fi

mode=day
default_output=$here/docs/screenshot.png
if [[ "${1:-}" == "--million" ]]; then
    mode=million
    default_output=$here/docs/window-million.png
    shift
fi
build=${1:-$here/build}
output=${2:-$default_output}
program=$build/app/Tallyview
[[ -x "$program" ]] || { echo "screenshot: $program not found; build first" >&2; exit 1; }
# The program runs in another directory.
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")

workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT

# Today's "系统状态记录" (category 2), with a few records of other categories that stay hidden.
python3 - "$workdir/dbLog.db" "$mode" <<'PY'
import datetime, sqlite3, sys
tabs = "\t" * 6
schema = ("CREATE TABLE IF NOT EXISTS SystemInfo(" + tabs +
          "id INTEGER  PRIMARY KEY AUTOINCREMENT UNIQUE " + tabs +
          ", datetime DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP,'localtime'))  " +
          tabs + ", type INT(32) " + tabs + ", message TEXT)")
today = datetime.date.today().isoformat()
records = [
    ("07:58:12", 2, "系统启动完成，版本 1.0.0"),
    ("07:58:15", 2, "数据库连接正常，日志服务已启动"),
    ("08:00:03", 1, "用户 operator 登录"),
    ("08:15:40", 2, "主轴转速 1200 rpm，负载 63%"),
    ("09:02:27", 3, "2 号电机过流，已自动停机"),
    ("09:30:00", 2, "冷却液温度 24.5 ℃，压力 0.32 MPa"),
    ("10:12:51", 2, "网络连接恢复，延迟 3 ms"),
    ("11:45:08", 2, "定时备份完成：/var/backup/config-1145.tar.gz"),
    ("13:20:33", 0, "温度上限由 80.0 改为 85.0"),
    ("14:05:19", 2, "磁盘剩余空间 62%"),
]
db = sqlite3.connect(sys.argv[1])
db.execute(schema)
db.executemany("INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)",
               [(f"{today} {t}", c, m) for t, c, m in records])
if sys.argv[2] == "million":
    # A million status records over the day; "E<n>" names each, every seventh is an alarm.
    texts = ["主轴转速 1200 rpm，负载 63%", "冷却液温度 24.5 ℃，压力 0.32 MPa",
             "网络连接恢复，延迟 3 ms", "磁盘剩余空间 62%"]
    count = 1000000
    def rows():
        for i in range(count):
            second = 1 + i * 86398 // count
            stamp = f"{today} {second // 3600:02}:{second // 60 % 60:02}:{second % 60:02}"
            alarm = " alarm: 2 号电机过流" if i % 7 == 0 else ""
            yield (stamp, 2, f"E{i} {texts[i % len(texts)]}{alarm}")
    db.executemany("INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)", rows())
db.commit()
db.close()
PY
printf '[General]\ncomBoxIndex=2\n' > "$workdir/Tallyview.ini"

xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --inner "$program" "$workdir" "$output" "$mode"
echo "wrote $output"
