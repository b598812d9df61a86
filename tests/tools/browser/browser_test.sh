#!/bin/bash
# The demo site in a real browser: headless Chromium shows the simulated
# camera moving; then, once the site has a user, it logs in on the layout
# page, sees the camera and switches the simulated module's output, while a
# page of another site in the same browser cannot. Everything listens on
# loopback ports chosen here.
# Usage: browser_test.sh BIN_DIR EXAMPLES_DIR   (exit 77: no chromium, skipped)
set -eu
bin=$1
examples=$2
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v chromium > /dev/null; then
    echo "SKIP   : chromium is not installed (make browser-test installs it)"
    exit 77
fi

work=$(mktemp -d)
pids=""
cleanup() {
    [ -n "$pids" ] && kill $pids 2>/dev/null || true
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

. "$here/../check.sh"

listening() {
    (exec 3<> "/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
taken=" "
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 20000))
        if [[ $taken != *" $port "* ]] && ! listening "$port"; then
            taken="$taken$port "
            echo "$port"
            return
        fi
    done
}
dvr_port=$(free_port); taken="$taken$dvr_port "
io_port=$(free_port); taken="$taken$io_port "
video_port=$(free_port); taken="$taken$video_port "
event_port=$(free_port); taken="$taken$event_port "
publish_port=$(free_port); taken="$taken$publish_port "
pull_port=$(free_port)

cat > "$work/site.json" <<JSON
{
    "dvrs": [ { "id": 1, "name": "Demo", "ip": "127.0.0.1", "user": "admin", "password": "admin" } ],
    "streams": [ { "id": 1, "name": "Cameras", "dvr_id": 1, "in_port": $dvr_port, "out_port": $video_port,
                   "channels": [1, 2] } ],
    "ios": [ { "id": 1, "name": "Gate", "dvr_id": 1, "port": $io_port, "enabled": true, "events_enabled": true } ],
    "doors": [ { "id": 1, "name": "Front door", "io_id": 1, "in_pin": 1, "out_pin": 1 } ]
}
JSON
mkdir -p "$work/service"
cp "$bin/tavro" "$work/service/tavro"
cat > "$work/service/settings.ini" <<INI
[General]
serverAddress=127.0.0.1
serverSendPort=$publish_port
serverRecvPort=$pull_port
id=browser-test
eventPort=$event_port
ioPath=html
INI

"$bin/tavro-sim-dvr" --port "$dvr_port" --io-port "$io_port" --channels 2 > "$work/sim-dvr.log" 2>&1 &
pids="$pids $!"
"$bin/tavro-central" --site "$work/site.json" --layout "1=$examples/demo-layout.html" \
    --publish-port "$publish_port" --pull-port "$pull_port" --ping-interval 500 > "$work/central.log" 2>&1 &
pids="$pids $!"
(cd "$work/service" && exec ./tavro --service) > "$work/service.log" 2>&1 &
pids="$pids $!"

layout=$work/service/html/Demo/Gate.html
for _ in $(seq 200); do
    listening "$video_port" && [ -f "$layout" ] && break
    sleep 0.1
done
check "the service takes the site from tavro-central and serves it" 'listening "$video_port" && [ -f "$layout" ]'
if [ "$failed" -ne 0 ]; then
    tail -n 20 "$work"/*.log
    finish
fi

browse() {
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-dev-shm-usage \
        --user-data-dir="$profile" "$@" 2> "$profile.log" || true
}

stream=http://127.0.0.1:$video_port/Demo/Cameras/1
browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot1.png" "$stream"
browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot2.png" "$stream"
check "two screenshots of the stream are pictures" \
    '[ "$(stat -c %s "$work/shot1.png" 2>/dev/null || echo 0)" -gt 20000 ] && [ "$(stat -c %s "$work/shot2.png" 2>/dev/null || echo 0)" -gt 20000 ]'
check "the picture changes between the two" '! cmp -s "$work/shot1.png" "$work/shot2.png"'

# From here on the site has a user, added while the service runs.
password=$(head -c 16 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')
printf '%s\n' "$password" | (cd "$work/service" && ./tavro --add-user guard --role operator) > /dev/null
for _ in $(seq 50); do
    grep -q "Access control is on: 1 users" "$work/service.log" && break
    sleep 0.1
done
check "the running service takes the new user" 'grep -q "Access control is on: 1 users" "$work/service.log"'

# A second service, without users, serves the harness and a page of another
# site under the name localhost: to the browser another site than 127.0.0.1.
other_port=$(free_port); taken="$taken$other_port "
mkdir -p "$work/other/html"
cp "$bin/tavro" "$work/other/tavro"
cp "$here/harness.html" "$here/other-site.html" "$work/other/html/"
cat > "$work/other/settings.ini" <<INI
[General]
serverSendPort=$(free_port)
serverRecvPort=$(free_port)
eventPort=$other_port
INI
(cd "$work/other" && exec ./tavro --service) > "$work/other.log" 2>&1 &
pids="$pids $!"
for _ in $(seq 100); do
    listening "$other_port" && break
    sleep 0.1
done

# The harness opens the layout page, logs in on the form it meets, waits for
# the camera's picture and output 1 off, switches output 1 on and waits to
# see it on (steps 1 to 3); then opens the other site's page, which tries to
# switch output 1 off through the same logged-in browser (step 4). The
# same-origin policy is off for the harness alone to reach into the layout
# page; cookies and the browser's request headers work as in any browser.
profile=$(mktemp -d "$work/profile.XXXXXX")
timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-dev-shm-usage \
    --disable-web-security --disable-site-isolation-trials --disable-features=IsolateOrigins,site-per-process \
    --disable-popup-blocking --user-data-dir="$profile" \
    "http://localhost:$other_port/harness.html?events=$event_port&video=$video_port&user=guard&password=$password" \
    2> "$profile.log" &
browser=$!
for _ in $(seq 600); do
    grep -q "/step-4.png" "$work/other.log" && break
    sleep 0.1
done
# A forged change would reach the module with its next poll, 2 s later.
sleep 3
kill "$browser" 2>/dev/null || true
wait "$browser" 2>/dev/null || true

check "the layout page answers with the login form, and the harness logs in" 'grep -q "/step-1.png" "$work/other.log"'
check "once logged in, the layout page shows output 1 off and the camera's picture" 'grep -q "/step-2.png" "$work/other.log"'
check "the layout page then shows output 1 on" 'grep -q "/step-3.png" "$work/other.log"'
check "the simulated module switched output 1 on" 'grep -qx "output 1 on" "$work/sim-dvr.log"'
check "the service logged who switched it" 'grep -q "Output change by guard from 127.0.0.1: module 1, outputs 1,1" "$work/service.log"'
check "the page of another site ran its requests" 'grep -q "/step-4.png" "$work/other.log"'
check "the service refused the other site's output change" 'grep -q "Refused output change .*: module 1, outputs 1,0" "$work/service.log"'
check "the simulated module never switched output 1 off" '! grep -qx "output 1 off" "$work/sim-dvr.log"'
[ "$failed" -eq 0 ] || tail -n 20 "$work"/*.log
finish
