#!/bin/bash
# The systemd guest's checks, run once the system is up (tarvo-guest-checks.service). It only gathers what it
# sees, as "KEY VALUE" lines in /mnt/results/facts; run-systemd-guest.sh judges them on the host. Every wait is
# bounded; the guest powers off when this ends.
set -u
. /usr/local/lib/tarvo-guest/config
out=/mnt/results
facts=$out/facts
: > "$facts"
fact() { echo "$*" >> "$facts"; echo "FACT $*"; }
socket=tarvo-pulse-scpi.socket
service=tarvo-pulse-scpi.service
main_pid() { systemctl show -P MainPID "$service"; }
state() { echo "$(systemctl show -P ActiveState "$service") $(systemctl show -P Result "$service") $(systemctl show -P ExecMainStatus "$service")"; }

# Connects file descriptor FD to ADDRESS (127.0.0.1:5025 or [::1]:5025).
connect() {  # FD ADDRESS
    local host=${2%:*} port=${2##*:}
    host=${host#[}
    host=${host%]}
    eval "exec $1<>/dev/tcp/$host/$port"
}
# Sends a message on FD and prints the answer's line, or nothing after SECONDS.
ask() {  # FD SECONDS MESSAGE
    local line=""
    printf "%s\n" "$3" 1>&"$1" 2>/dev/null || return 1
    IFS= read -r -t "$2" line <&"$1" || return 1
    printf '%s' "${line%$'\r'}"
}

# Before anything touches HID: no hid module, so no hidraw major.
if [ -e /sys/module/hid ] || grep -qw hidraw /proc/devices; then fact hid_before_client yes; else fact hid_before_client no; fi

systemctl start "$socket"
fact socket_active "$(systemctl is-active "$socket")"
mapfile -t listening < <(systemctl show -p Listen "$socket" | sed -n 's/^Listen=\(.*\) (Stream)$/\1/p')
for address in "${listening[@]}"; do fact "listen $address" yes; done

# The first client, before any generator: the service starts for it and says that none is there.
connect 3 127.0.0.1:5025
printf '*IDN?\n' >&3
fact answer_without_generator "$(ask 3 30 'SYST:ERR?')"
first_pid=$(main_pid)
fact hid_after_service_start "$([ -e /sys/module/hid ] && echo yes || echo no)"

# Every socket reaches the same service: a client on it is accepted by that process (one more socket among its
# files), whatever the protocol spoken there.
sockets_of() { find "/proc/$1/fd" -lname 'socket:*' 2>/dev/null | wc -l; }
for address in "${listening[@]}"; do
    before=$(sockets_of "$first_pid")
    served=no
    if connect 4 "$address" 2>/dev/null; then
        for _ in $(seq 1 50); do
            if [ "$(sockets_of "$first_pid")" -gt "$before" ]; then served=yes; break; fi
            sleep 0.1
        done
    fi
    fact "served $address" "$served"
    exec 4>&-
done

# The generator, plugged in while the service runs.
modprobe uhid
tarvo-pulse-generator-virtual --serial "$GENERATOR_SERIAL" --no-stream --exit-after 250 > /tmp/generator.log 2>&1 &
generator=$!
for _ in $(seq 1 200); do [ -e /dev/hidraw0 ] && break; sleep 0.1; done
udevadm settle --timeout=20
plugged=$(cut -d' ' -f1 /proc/uptime)
answer=""
tries=0
while [ $tries -lt 8 ] && [ -z "$answer" ]; do
    tries=$((tries + 1))
    answer=$(ask 3 4 '*IDN?')
done
fact idn_after_plug "$answer"
fact idn_tries "$tries"
fact idn_seconds_after_node "$(awk -v a="$plugged" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.2f", b - a }')"
pid=$(main_pid)
fact same_service_after_plug "$([ "$pid" = "$first_pid" ] && [ "$pid" != 0 ] && echo yes || echo no)"

# Who the service is, and what it holds.
fact node "$(stat -c '%U %G %a' /dev/hidraw0 2>&1)"
fact service_uid "$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")"
fact service_gid "$(awk '/^Gid:/ {print $2}' "/proc/$pid/status")"
fact service_groups "$(awk '/^Groups:/ {$1 = ""; print substr($0, 2)}' "/proc/$pid/status")"
fact service_capeff "$(awk '/^CapEff:/ {print $2}' "/proc/$pid/status")"
fact service_nonewprivs "$(awk '/^NoNewPrivs:/ {print $2}' "/proc/$pid/status")"
fact service_nodes "$(for f in /proc/"$pid"/fd/*; do readlink "$f"; done | grep '^/dev/' | sort -u | tr '\n' ' ')"

# A frequency, set and read back; the generator's log shows the frame it received.
printf 'FREQ %s\n' "$FREQUENCY" >&3
fact frequency_read_back "$(ask 3 10 'FREQ?')"
fact generator_frames "$(grep '^SET_REPORT' /tmp/generator.log | tr '\n' ';')"

# Stopped, the service lets its client go and ends cleanly; the socket stays and starts it again.
systemctl stop "$service"
status=0
IFS= read -r -t 10 _ <&3 || status=$?
fact connection_after_stop "$([ $status -eq 1 ] && echo closed || echo "open ($status)")"
exec 3>&-
fact stop_result "$(state)"
fact socket_after_stop "$(systemctl is-active "$socket")"
connect 3 127.0.0.1:5025
fact frequency_after_restart "$(ask 3 30 'FREQ?')"
second_pid=$(main_pid)
fact new_process_after_restart "$([ "$second_pid" != "$first_pid" ] && [ "$second_pid" != 0 ] && echo yes || echo no)"
exec 3>&-
systemctl restart "$service"
third_pid=$(main_pid)
fact restart_result "$(systemctl show -P ActiveState "$service") $([ "$third_pid" != "$second_pid" ] && [ "$third_pid" != 0 ] && echo new || echo same)"
systemctl stop "$service"
fact final_stop "$(state)"
fact service_restarts "$(systemctl show -P NRestarts "$service")"

# The sandbox's rating, and the units' own check.
fact exposure "$(systemd-analyze security --no-pager "$service" | sed -n 's/.*Overall exposure level for [^:]*: *\([0-9.]*\) \([A-Z]*\).*/\1 \2/p')"
units=("$(systemctl show -P FragmentPath "$socket")" "$(systemctl show -P FragmentPath "$service")")
systemd-analyze verify --man=no "${units[@]}" > /tmp/verify.txt 2>&1
fact verify_status $?
while IFS= read -r line; do fact verify_output "$line"; done < /tmp/verify.txt

kill -TERM "$generator"
wait "$generator"
cp /tmp/generator.log "$out/generator.log"
journalctl -b --no-pager > "$out/journal.txt" 2>&1
fact DONE yes
