#!/bin/bash
# Installs the service into a directory of its own, installs its systemd unit
# from there, and builds the Debian package; checks what each leaves.
# Usage: packaging_test.sh BUILD_DIR MAKE_UNIT
set -eu
build=$1
make_unit=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/check.sh"

cmake --install "$build" --prefix "$work/site" > "$work/install.log"
check "install puts only the program into its directory" '[ "$(ls -A "$work/site")" = tavro ] && [ -x "$work/site/tavro" ]'

"$work/site/tavro" --install --unit-dir "$work/units" > /dev/null 2>&1
unit=$work/units/tavro.service
check "the installed program writes a unit that runs it in place" \
    'grep -qx "ExecStart=$work/site/tavro --service" "$unit" && grep -qx "WorkingDirectory=$work/site" "$unit"'
"$make_unit" "$work/site/tavro" "$work/packaged.service"
check "the packaged unit is the text the program writes" 'cmp -s "$unit" "$work/packaged.service"'

if command -v dpkg-deb > /dev/null; then
    (cd "$build" && cpack -B "$work/package" > "$work/cpack.log" 2>&1) || cat "$work/cpack.log"
    deb=$(ls "$work"/package/*.deb 2>/dev/null | head -n 1)
    check "cpack builds a .deb" '[ -n "$deb" ]'
    if [ -n "$deb" ]; then
        dpkg-deb -c "$deb" | awk '{print $6}' > "$work/contents"
        check "the package carries the program in /opt/tavro" 'grep -qx "./opt/tavro/tavro" "$work/contents"'
        check "the package carries the systemd unit" 'grep -qx "./lib/systemd/system/tavro.service" "$work/contents"'
        dpkg-deb -x "$deb" "$work/root"
        check "the packaged unit runs /opt/tavro/tavro" \
            'grep -qx "ExecStart=/opt/tavro/tavro --service" "$work/root/lib/systemd/system/tavro.service"'
        check "the package depends on the SQLite driver" 'dpkg-deb -f "$deb" Depends | grep -q libqt5sql5-sqlite'
    fi
fi

finish
