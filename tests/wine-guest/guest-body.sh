# The Wine guest's own part (sourced by tests/guest/init once the modules are loaded): this machine's root under a
# tmpfs overlay as the new root, the output share at the host's path of it, the scenarios inside it. /config
# (written by run-wine-guest.sh) names the scenario script and what it runs.
r=/newroot
guest_host_root $r
# Where the host reads the scenarios' logs: the same path as on the host, writable.
guest_mount_share out "$r$OUT"
echo
say "TIME boot $(cut -d' ' -f1 /proc/uptime)"
chroot $r /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root OUT="$OUT" VIRTUAL="$VIRTUAL" \
    PROBE="$PROBE" WINDOW="$WINDOW" CTL="$CTL" SCPI="$SCPI" WINEPREFIX="$PREFIX" SCENARIOS="$SCENARIOS" \
    SCPI_LISTEN="$SCPI_LISTEN" \
    /bin/bash "$SCENARIO_SCRIPT"
say "EXIT $?"
