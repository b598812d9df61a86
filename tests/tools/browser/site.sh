# Sourced by the browser tests after `set -eu` with bin set: skips without
# Chromium, makes a work directory removed at exit with every process
# started here, chooses the loopback ports and starts a site of the
# simulated DVR, tavro-central and the service.
if ! command -v chromium > /dev/null; then
    echo "SKIP   : chromium is not installed (make browser-test installs it)"
    exit 77
fi

here=$(cd "$(dirname "$0")" && pwd)
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
# Ports already handed out are remembered by the caller, since free_port
# runs in a subshell: taken="$taken$port ".
taken=" "
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 20000))
        if [[ $taken != *" $port "* ]] && ! listening "$port"; then
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
pull_port=$(free_port); taken="$taken$pull_port "

# The service's own directory, linked to tavro-central on the ports above.
# Usage: make_service ID
make_service() {
    mkdir -p "$work/service"
    cp "$bin/tavro" "$work/service/tavro"
    cat > "$work/service/settings.ini" <<INI
[General]
serverAddress=127.0.0.1
serverSendPort=$publish_port
serverRecvPort=$pull_port
id=$1
eventPort=$event_port
ioPath=html
INI
}

# Starts the simulated DVR, tavro-central with $work/site.json and the service.
# Usage: start_site CHANNELS [tavro-central options...]
start_site() {
    local channels=$1
    shift
    "$bin/tavro-sim-dvr" --port "$dvr_port" --io-port "$io_port" --channels "$channels" > "$work/sim-dvr.log" 2>&1 &
    pids="$pids $!"
    "$bin/tavro-central" --site "$work/site.json" --publish-port "$publish_port" --pull-port "$pull_port" \
        --ping-interval 500 "$@" > "$work/central.log" 2>&1 &
    pids="$pids $!"
    (cd "$work/service" && exec ./tavro --service) > "$work/service.log" 2>&1 &
    pids="$pids $!"
}

# Waits up to TENTHS tenths of a second for CONDITION to hold.
# Usage: wait_for TENTHS CONDITION
wait_for() {
    for _ in $(seq "$1"); do
        eval "$2" && return
        sleep 0.1
    done
    return 0
}

# Ends the test early, with the logs, when the site did not come up.
give_up_unless_up() {
    if [ "$failed" -ne 0 ]; then
        tail -n 20 "$work"/*.log
        finish
    fi
}

# One headless Chromium run with a profile of its own; extra flags for every
# run of a test go in browse_flags.
browse_flags=""
browse() {
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    # shellcheck disable=SC2086
    timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-dev-shm-usage \
        $browse_flags --user-data-dir="$profile" "$@" 2> "$profile.log" || true
}

# Two screenshots of a stream: both pictures, and different.
# Usage: check_stream_moves URL WHAT
check_stream_moves() {
    browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot1.png" "$1"
    browse --window-size=800,450 --timeout=3000 --screenshot="$work/shot2.png" "$1"
    check "two screenshots of $2 are pictures" \
        '[ "$(stat -c %s "$work/shot1.png" 2>/dev/null || echo 0)" -gt 20000 ] && [ "$(stat -c %s "$work/shot2.png" 2>/dev/null || echo 0)" -gt 20000 ]'
    check "the picture changes between the two" '! cmp -s "$work/shot1.png" "$work/shot2.png"'
}
