#!/bin/bash
# A live stream over HTTPS in a real browser: the service with a certificate
# of its own making (tavro --make-certificate), the simulated DVR behind it,
# and headless Chromium taking two screenshots of the stream, which must be
# pictures and differ. Everything listens on loopback ports chosen here.
# Usage: browser_tls_test.sh BIN_DIR   (exit 77: no chromium, skipped)
set -eu
bin=$1
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
                   "channels": [1] } ]
}
JSON
mkdir -p "$work/service"
cp "$bin/tavro" "$work/service/tavro"
cat > "$work/service/settings.ini" <<INI
[General]
serverAddress=127.0.0.1
serverSendPort=$publish_port
serverRecvPort=$pull_port
id=browser-tls-test
eventPort=$event_port
INI
(cd "$work/service" && ./tavro --make-certificate 127.0.0.1 localhost) > "$work/certificate.log" 2>&1
check "the service makes its certificate" '[ -s "$work/service/tls-certificate.pem" ] && [ -s "$work/service/tls-key.pem" ]'

"$bin/tavro-sim-dvr" --port "$dvr_port" --io-port "$io_port" --channels 1 > "$work/sim-dvr.log" 2>&1 &
pids="$pids $!"
"$bin/tavro-central" --site "$work/site.json" --publish-port "$publish_port" --pull-port "$pull_port" \
    --ping-interval 500 > "$work/central.log" 2>&1 &
pids="$pids $!"
(cd "$work/service" && exec ./tavro --service) > "$work/service.log" 2>&1 &
pids="$pids $!"

for _ in $(seq 200); do
    listening "$video_port" && break
    sleep 0.1
done
check "the service takes the site from tavro-central and serves it" 'listening "$video_port"'
if [ "$failed" -ne 0 ]; then
    tail -n 20 "$work"/*.log
    finish
fi

browse() {
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    # The certificate is the service's own, trusted by nobody: the browser is
    # told to accept it, as a user would once.
    timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-dev-shm-usage \
        --ignore-certificate-errors --user-data-dir="$profile" "$@" 2> "$profile.log" || true
}

stream=https://127.0.0.1:$video_port/Demo/Cameras/1
browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot1.png" "$stream"
browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot2.png" "$stream"
check "two screenshots of the stream over HTTPS are pictures" \
    '[ "$(stat -c %s "$work/shot1.png" 2>/dev/null || echo 0)" -gt 20000 ] && [ "$(stat -c %s "$work/shot2.png" 2>/dev/null || echo 0)" -gt 20000 ]'
check "the picture changes between the two" '! cmp -s "$work/shot1.png" "$work/shot2.png"'
browse --dump-dom "http://127.0.0.1:$video_port/Demo/Cameras/1" > "$work/plain.html"
check "the same port gives a plain HTTP request nothing" '! grep -q "endofsection\|Cameras" "$work/plain.html"'
[ "$failed" -eq 0 ] || tail -n 20 "$work"/*.log
finish
