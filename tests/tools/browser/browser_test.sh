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
. "$(dirname "$0")/site.sh"

cat > "$work/site.json" <<JSON
{
    "dvrs": [ { "id": 1, "name": "Demo", "ip": "127.0.0.1", "user": "admin", "password": "admin" } ],
    "streams": [ { "id": 1, "name": "Cameras", "dvr_id": 1, "in_port": $dvr_port, "out_port": $video_port,
                   "channels": [1, 2] } ],
    "ios": [ { "id": 1, "name": "Gate", "dvr_id": 1, "port": $io_port, "enabled": true, "events_enabled": true } ],
    "doors": [ { "id": 1, "name": "Front door", "io_id": 1, "in_pin": 1, "out_pin": 1 } ]
}
JSON
make_service browser-test
start_site 2 --layout "1=$examples/demo-layout.html"

layout=$work/service/html/Demo/Gate.html
wait_for 200 'listening "$video_port" && [ -f "$layout" ]'
check "the service takes the site from tavro-central and serves it" 'listening "$video_port" && [ -f "$layout" ]'
give_up_unless_up

stream=http://127.0.0.1:$video_port/Demo/Cameras/1
check_stream_moves "$stream" "the stream"

# From here on the site has a user, added while the service runs.
password=$(head -c 16 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')
printf '%s\n' "$password" | (cd "$work/service" && ./tavro --add-user guard --role operator) > /dev/null
wait_for 50 'grep -q "Access control is on: 1 users" "$work/service.log"'
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
wait_for 100 'listening "$other_port"'

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
wait_for 600 'grep -q "/step-4.png" "$work/other.log"'
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
