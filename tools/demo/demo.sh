#!/bin/bash
# Runs the demo: the simulated DVR, the service and tavro-central with the
# demo site, until Ctrl-C (or until one of them ends), then stops all three.
# Usage: tools/demo/demo.sh [BUILD_DIR]   (default: build)
# DEMO_CAMERAS=3 gives the simulated DVR three cameras of the site's four, so
# that camera 4 fails, as a broken one would.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:-$ROOT/build}" && pwd)
BIN=$BUILD_DIR/bin
EXAMPLES=$ROOT/examples
# The service keeps its settings beside its program: the demo gets a copy of
# its own, so that it never touches the settings of a real run.
DEMO_DIR=$BUILD_DIR/demo

for program in tavro tavro-sim-dvr tavro-central; do
    [ -x "$BIN/$program" ] || { echo "demo: $BIN/$program is missing; build first" >&2; exit 1; }
done

for port in 8080 8081 8087 8090 5001 5002; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "demo: port $port is in use; stop whatever listens there first" >&2
        exit 1
    fi
done 2>/dev/null

rm -rf "$DEMO_DIR"
mkdir -p "$DEMO_DIR"
cp "$BIN/tavro" "$DEMO_DIR/tavro"
# One operator with a fresh password, so that whoever tries the demo meets the login.
DEMO_USER=guard
DEMO_PASSWORD=$(head -c 32 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 12)
printf '%s\n' "$DEMO_PASSWORD" | "$DEMO_DIR/tavro" --add-user "$DEMO_USER" --role operator > /dev/null

# The link to Central is encrypted, as at a site: Central gets a key pair,
# the service makes its own, each side learns the other's public key.
"$BIN/tavro-central" --make-key "$DEMO_DIR/central.key" > /dev/null
(cd "$DEMO_DIR" && ./tavro --show-public-key) > "$DEMO_DIR/services.keys"
central_key=$(sed -n 's/^public=//p' "$DEMO_DIR/central.key")
printf '[General]\nserverPublicKey="%s"\n' "$central_key" > "$DEMO_DIR/settings.ini"

pids=""
all_running() {
    for pid in $pids; do
        kill -0 "$pid" 2>/dev/null || return 1
    done
}
stop() {
    trap - INT TERM EXIT
    [ -n "$pids" ] && kill $pids 2>/dev/null || true
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    echo "demo: stopped"
}
trap stop EXIT
trap 'exit 0' INT TERM

"$BIN/tavro-sim-dvr" --port 8080 --io-port 8081 --channels "${DEMO_CAMERAS:-4}" > "$DEMO_DIR/sim-dvr.log" 2>&1 &
pids="$pids $!"
"$BIN/tavro-central" --site "$EXAMPLES/demo-site.json" --layout "1=$EXAMPLES/demo-layout.html" \
    --ping-interval 1000 --secret-key "$DEMO_DIR/central.key" --allow-clients "$DEMO_DIR/services.keys" \
    > "$DEMO_DIR/central.log" 2>&1 &
pids="$pids $!"
(cd "$DEMO_DIR" && exec ./tavro --service) > "$DEMO_DIR/service.log" 2>&1 &
pids="$pids $!"

# Up once the service has taken the configuration and opened its video port.
tries=0
until (exec 3<>/dev/tcp/127.0.0.1/8090) 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! all_running; then
        echo "demo: the service did not come up; see $DEMO_DIR/*.log" >&2
        exit 1
    fi
    sleep 0.1
done

cat <<TEXT
TAVRO demo is running. Log in as $DEMO_USER, password $DEMO_PASSWORD (an operator), and open:
  live video     http://127.0.0.1:8090/Demo/Cameras/1   (channels 1 to 4)
  video index    http://127.0.0.1:8090/
  layout page    http://127.0.0.1:8087/Demo/Gate.html
  status         http://127.0.0.1:8087/.tavro/status    (also status.json, metrics)
  still picture  http://127.0.0.1:8090/.tavro/snapshot/Demo/Cameras/1
  IO module      http://127.0.0.1:8081/alarm.htm        (user admin, password admin)
Players and tools take the same name and password as HTTP Basic credentials:
  curl -u $DEMO_USER:$DEMO_PASSWORD http://127.0.0.1:8087/read?layout=1
The link to Central is encrypted (keys in $DEMO_DIR: central.key, service.key).
From another machine, use this machine's address instead of 127.0.0.1.
Logs are in $DEMO_DIR. Press Ctrl-C to stop.
TEXT

while all_running; do
    sleep 1
done
echo "demo: a program ended; see $DEMO_DIR/*.log" >&2
exit 1
