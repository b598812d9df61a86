#!/bin/bash
# A live stream over HTTPS in a real browser: the service with a certificate
# of its own making (tavro --make-certificate), the simulated DVR behind it,
# and headless Chromium taking two screenshots of the stream, which must be
# pictures and differ. Everything listens on loopback ports chosen here.
# Usage: browser_tls_test.sh BIN_DIR   (exit 77: no chromium, skipped)
set -eu
bin=$1
. "$(dirname "$0")/site.sh"

cat > "$work/site.json" <<JSON
{
    "dvrs": [ { "id": 1, "name": "Demo", "ip": "127.0.0.1", "user": "admin", "password": "admin" } ],
    "streams": [ { "id": 1, "name": "Cameras", "dvr_id": 1, "in_port": $dvr_port, "out_port": $video_port,
                   "channels": [1] } ]
}
JSON
make_service browser-tls-test
(cd "$work/service" && ./tavro --make-certificate 127.0.0.1 localhost) > "$work/certificate.log" 2>&1
check "the service makes its certificate" '[ -s "$work/service/tls-certificate.pem" ] && [ -s "$work/service/tls-key.pem" ]'

start_site 1
wait_for 200 'listening "$video_port"'
check "the service takes the site from tavro-central and serves it" 'listening "$video_port"'
give_up_unless_up

# The certificate is the service's own, trusted by nobody: the browser is
# told to accept it, as a user would once.
browse_flags=--ignore-certificate-errors
check_stream_moves "https://127.0.0.1:$video_port/Demo/Cameras/1" "the stream over HTTPS"
browse --dump-dom "http://127.0.0.1:$video_port/Demo/Cameras/1" > "$work/plain.html"
check "the same port gives a plain HTTP request nothing" '! grep -q "endofsection\|Cameras" "$work/plain.html"'
[ "$failed" -eq 0 ] || tail -n 20 "$work"/*.log
finish
