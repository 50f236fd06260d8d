#!/bin/bash
# The scenarios of the Wine guest, run by its /init inside the new root (this machine's root under an overlay).
# Each leaves its logs in $OUT/NAME/: the virtual generators' (gen1.log, gen2.log: every report they received),
# the program's output (program.log) and exit status (status). run-wine-guest.sh checks them on the host.
# Environment: OUT, VIRTUAL (the Linux virtual generator), PROBE, WINDOW, CTL, SCPI (Windows programs; may be empty),
# WINEPREFIX (made on the host), SCENARIOS (names of the scenarios to run, in order), SCPI_LISTEN (the server's
# --listen options, as the host forwards its ports).
set -u
WINE64=/usr/lib/wine/wine64
export WINEPREFIX WINEDEBUG=-all

say() { echo "WINE_GUEST $*"; }
now() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.1f", b - a}'; }

# wait_for FILE REGEX SECONDS: whether a line of FILE matches within the time.
wait_for() {
    local end=$(( $(cut -d. -f1 /proc/uptime) + $3 ))
    until grep -qa -- "$2" "$1" 2>/dev/null; do
        [ "$(cut -d. -f1 /proc/uptime)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# plug LOG ARGS...: a virtual generator, its lines into LOG; its process id in $plugged. Waits until the kernel
# started the device.
plug() {
    local log=$1
    shift
    "$VIRTUAL" "$@" > "$log" 2>&1 &
    plugged=$!
    wait_for "$log" '^START$' 30 || say "FAIL $log: the generator did not start"
}

# unplug PID: the generator removes its device (UHID_DESTROY) and ends. Wine's HID bus hears of the removal
# through udevd, in its own time; a generator plugged in before it has (the next scenario's, which the kernel
# gives the same hidraw node) can be missed by it. So udevd's queue is let empty and the bus a moment more.
unplug() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    udevadm settle -t 10 2>/dev/null
    sleep 1
}

# run_program DIR PROGRAM ARGS...: one run of a console program under Wine, its output and exit status into DIR
# (124 when it had to be stopped after 180 s).
run_program() {
    local dir=$1 started
    shift
    started=$(now)
    timeout -k 5 180 "$WINE64" "$@" > "$dir/program.log" 2> "$dir/program.err" < /dev/null
    echo $? > "$dir/status"
    say "TIME $(basename "$dir") $(basename "$1") $(since "$started")"
}

# The probe finds the generator, reads its status and sends a frequency and an amplitude.
scenario_probe_send() {
    local dir=$OUT/probe-send
    mkdir -p "$dir"
    plug "$dir/gen1.log" --serial TPG-WINE-SEND --frequency 1000000 --amplitude 100 --no-stream
    local gen=$plugged
    run_program "$dir" "$PROBE" send --serial TPG-WINE-SEND --frequency 2500000 --amplitude 200
    unplug "$gen"
}

# tarvo-pulse-ctl sets both settings by their texts, then reads them back.
scenario_ctl_set() {
    local dir=$OUT/ctl-set
    mkdir -p "$dir"
    plug "$dir/gen1.log" --serial TPG-WINE-CTL --frequency 1000000 --amplitude 100 --no-stream
    local gen=$plugged
    run_program "$dir" "$CTL" set --frequency 12345678.5 --amplitude 1161
    mkdir -p "$dir/status-read"
    run_program "$dir/status-read" "$CTL" status
    unplug "$gen"
}

# replug NAME GENERATOR_OPTIONS -- COMMAND...: a program that watches for the generator by itself. It starts with
# the generator plugged in and must ask for its status; the generator is then unplugged and plugged in again
# (the same serial number), and the program must find it and ask again. It is never asked to send anything.
replug() {
    local name=$1 dir=$OUT/$1 options=()
    shift
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    mkdir -p "$dir"
    plug "$dir/gen1.log" --serial TPG-WINE-REPLUG "${options[@]}"
    local gen=$plugged started
    started=$(now)
    "$WINE64" "$@" > "$dir/program.log" 2> "$dir/program.err" < /dev/null &
    local program=$!
    if wait_for "$dir/gen1.log" '^GET_REPORT' 180; then
        say "TIME $name first-status $(since "$started")"
    else
        say "FAIL $name: no status request within 180 s"
    fi
    sleep 1
    unplug "$gen"
    sleep 2  # unplugged long enough for any poll to notice
    plug "$dir/gen2.log" --serial TPG-WINE-REPLUG "${options[@]}"
    gen=$plugged
    started=$(now)
    if wait_for "$dir/gen2.log" '^GET_REPORT' 60; then
        say "TIME $name status-after-replug $(since "$started")"
    else
        say "FAIL $name: no status request within 60 s of the replug"
    fi
    sleep 2  # a command sent unasked after the status request would show in the log
    if kill -0 "$program" 2>/dev/null; then
        kill -KILL "$program"
        wait "$program" 2>/dev/null
    else
        wait "$program"
        say "FAIL $name: the program ended by itself (status $?)"
    fi
    unplug "$gen"
}

# The SCPI server under Wine, reached from the host through a forwarded port; the host unplugs and plugs the
# generator and asks for the reports it received over the second serial port (tests/guest/control.sh).
scenario_scpi() {
    local dir=$OUT/scpi generators=0 generator server
    mkdir -p "$dir"
    plug_generator() {
        generators=$((generators + 1))
        plug "$dir/gen$generators.log" --serial TPG-WINE-SCPI --no-stream
        generator=$plugged
        sleep 2  # Wine's HID bus adds the device a moment after the kernel (udevd, winebus)
    }
    unplug_generator() { unplug "$generator"; }
    generator_reports() {
        local n
        for n in $(seq 1 $generators); do grep -a "^SET_REPORT" "$dir/gen$n.log" | sed "s/^/gen$n /"; done
    }
    plug_generator
    "$WINE64" "$SCPI" $SCPI_LISTEN -v > "$dir/program.log" 2>&1 < /dev/null &
    server=$!
    . "$(dirname "$0")/../guest/control.sh"
    scpi_control
    kill -TERM "$server" 2>/dev/null
    wait "$server"
    echo $? > "$dir/status"
    unplug_generator
}

scenario_probe_replug() { replug probe-replug --no-stream -- "$PROBE" watch --serial TPG-WINE-REPLUG --seconds 600; }

scenario_window_replug() { replug window-replug -- "$WINDOW"; }

# Wine's UDEV bus hears of hot-plugged devices only through udevd; it must run before Wine starts.
udevd=
for f in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do [ -x "$f" ] && udevd=$f && break; done
"$udevd" --daemon 2>/dev/null || say "FAIL udevd did not start"
udevadm settle -t 10 2>/dev/null

# A window needs a display: Xvfb, for every Wine process (Wine's desktop process starts with the first).
case " $SCENARIOS " in
    *" window-replug "*)
        Xvfb :9 -screen 0 1280x1024x24 -nolisten tcp > "$OUT/xvfb.log" 2>&1 &
        wait_for_socket_end=$(( $(cut -d. -f1 /proc/uptime) + 20 ))
        until [ -S /tmp/.X11-unix/X9 ] || [ "$(cut -d. -f1 /proc/uptime)" -ge $wait_for_socket_end ]; do sleep 0.1; done
        export DISPLAY=:9
        ;;
esac

# Wine refuses a prefix owned by someone else; the guest runs as root (the overlay keeps the change).
[ "$(stat -c %u "$WINEPREFIX")" = 0 ] || chown 0:0 "$WINEPREFIX"
# One Wine server for every scenario, so that Wine's services start once.
/usr/lib/wine/wineserver64 -p
say "TIME guest-ready $(now)"

for s in $SCENARIOS; do
    say "SCENARIO $s"
    "scenario_${s//-/_}"
done
/usr/lib/wine/wineserver64 -k 2>/dev/null
say "DONE $(now)"
