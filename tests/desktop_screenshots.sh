#!/usr/bin/env bash
# Runs the desktop front-end under Xvfb and saves a picture of each of its
# windows in build/screenshots (or the directory given): the splash, the
# main window with a reader connected, the settings sheet on each page, the
# quick start wizard, the dial-up dialog with the simulated dial-up
# machinery, and the About box. Needs a build with Qt (tools/build.sh).
#   tests/desktop_screenshots.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QV_BUILD_DIR:-build}
out=$(realpath -m "${1:-$build/screenshots}")
driver=$build/bin/ui_screenshots
[ -x "$driver" ] || { echo "no $driver: build with Qt 6 first (tools/build.sh)" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$home/news/POSTS" "$home/news/local.test"
cat > "$home/Quorvel.INI" <<INI
[admin]
ListenPort=$port
NewsPath=news/
PostingHost=news.example.net
SleepTime=30
[Newsfeed01]
Name=127.0.0.1
Port=9
AllGroupFile=feed01.all
SubGroupFile=feed01.sub
[ras]
Profile=Provider
Backend=sim
SimScript=dialup.sim
WaitForConnect=60
redialattempts=1
[EVENT01]
Type=News
Day=1
Hour=10
Minute=30
[EVENT02]
Type=Group
Day=*
Hour=**
Minute=15
[Service]
Dependancy1=NetworkManager
INI
printf '127.0.0.1\n192.168.1.*\n' > "$home/allowip.ini"
cat > "$home/dialup.sim" <<SIM
entry Provider
entry Office VPN
state 0 after 200ms
state 1 after 400ms
state 2 after 400ms
state 3 after 600ms
state 5 after 60s
SIM
cat > "$home/news/newsrc.ini" <<IDX
[Groups]
Total=2
G00001=local.test
G00002=comp.lang.c
[local.test]
Local=Yes
AllowPost=Yes
Low=1
High=1
Adddate=20261209
addtime=101500
[comp.lang.c]
Local=No
AllowPost=Yes
Low=1
High=1
Adddate=20261209
addtime=101500
IDX
mkdir -p "$home/news/comp.lang.c"
printf '215 list\r\ncomp.lang.c 140 101 y\r\ncomp.lang.ada 10 1 y\r\ncomp.os.linux 10 1 y\r\nalt.test 500 1 y\r\n.\r\n' > "$home/news/feed01.all"
printf 'Y0000000000 comp.lang.c\r\n' > "$home/news/feed01.sub"

rm -rf "$out"
QV_UNIT_DIR="$home/units" QV_SYSTEMCTL=/bin/true \
  xvfb-run -a -s "-screen 0 1024x768x24" "$driver" "$out" "$home"
echo "screenshots in $out"
