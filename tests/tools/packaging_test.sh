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
check "the installed program writes a unit that runs it as tavro with its files in /var/lib/tavro" \
    'grep -qx "ExecStart=$work/site/tavro --data-dir /var/lib/tavro --service" "$unit" && grep -qx "User=tavro" "$unit" \
     && grep -qx "StateDirectory=tavro" "$unit" && grep -qx "Type=notify" "$unit" && grep -qx "WatchdogSec=30" "$unit"'
if command -v systemd-analyze > /dev/null; then
    exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for tavro.service: \([0-9.]*\).*/\1/p')
    check "systemd rates the unit's exposure 2.0 or lower ($exposure)" 'awk -v e="$exposure" "BEGIN { exit !(e != \"\" && e <= 2.0) }"'
    check "systemd finds nothing wrong in the unit" 'systemd-analyze verify --man=no "$unit"'
fi
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
            'grep -qx "ExecStart=/opt/tavro/tavro --data-dir /var/lib/tavro --service" "$work/root/lib/systemd/system/tavro.service"'
        check "the package depends on adduser" 'dpkg-deb -f "$deb" Depends | grep -q adduser'
        dpkg-deb -e "$deb" "$work/control"
        # The maintainer script against a root of its own, with the commands
        # that would change the machine replaced by ones that only say what they were asked.
        mkdir -p "$work/stubs" "$work/fakeroot/opt/tavro/html"
        for command in getent adduser chown systemctl; do
            printf '#!/bin/sh\necho "%s $*" >> "%s"\n[ %s != getent ]\n' "$command" "$work/calls" "$command" > "$work/stubs/$command"
            chmod +x "$work/stubs/$command"
        done
        echo '[Central]' > "$work/fakeroot/opt/tavro/settings.ini"
        touch "$work/fakeroot/opt/tavro/settings.db"
        PATH="$work/stubs:$PATH" DPKG_ROOT="$work/fakeroot" sh "$work/control/postinst" configure
        check "postinst creates the system user tavro" 'grep -q "^adduser --system --group --home /var/lib/tavro --no-create-home --quiet tavro" "$work/calls"'
        check "postinst moves the files of earlier versions into /var/lib/tavro, for tavro alone" \
            '[ -f "$work/fakeroot/var/lib/tavro/settings.db" ] && [ -d "$work/fakeroot/var/lib/tavro/html" ] \
             && [ ! -e "$work/fakeroot/opt/tavro/settings.ini" ] && grep -q "^chown -R tavro:tavro $work/fakeroot/var/lib/tavro" "$work/calls" \
             && [ "$(stat -c %a "$work/fakeroot/var/lib/tavro/settings.ini")" = 600 ]'
        check "the package depends on the SQLite driver" 'dpkg-deb -f "$deb" Depends | grep -q libqt5sql5-sqlite'
    fi
fi

finish
