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

# Every socket unit the package ships, enabled and started as a user would; each address it holds, as
# "ADDRESS (Stream)" or "ADDRESS (Datagram)".
mapfile -t units < <(dpkg-query -L tarvo-pulse-generator | sed -n 's|.*/\(tarvo-pulse-scpi[^/]*\.socket\)$|\1|p' | sort)
fact socket_units "${units[*]}"
systemctl enable --now "${units[@]}" > /tmp/enable.log 2>&1
listening=()
for unit in "${units[@]}"; do
    fact "socket_active $unit" "$(systemctl is-active "$unit")"
    mapfile -t -O "${#listening[@]}" listening < <(systemctl show -p Listen "$unit" | sed -n 's/^Listen=//p')
done
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
    case $address in *" (Stream)") address=${address% (Stream)} ;; *) continue ;; esac
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

# Each protocol, spoken: REQUEST (printf's escapes) sent to PATH (/dev/tcp/... or /dev/udp/...), the first
# BYTES of the answer in hexadecimal.
probe() {  # PATH BYTES REQUEST
    local hex
    exec 4<>"$1" || return
    # shellcheck disable=SC2059
    printf "$3" >&4
    hex=$(timeout 5 head -c "$2" <&4 | od -An -v -tx1 -w64)
    exec 4>&-
    echo "${hex# }"
}
# HiSLIP: Initialize (version 1.0, vendor "ZZ", sub-address hislip0); the answer is InitializeResponse (type 1).
fact hislip_initialize "$(probe /dev/tcp/127.0.0.1/4880 3 'HS\x00\x00\x01\x00ZZ\x00\x00\x00\x00\x00\x00\x00\x07hislip0')"
# VXI-11: the core program's NULL procedure (program 0x0607AF, version 1, procedure 0), an RPC record of 40 bytes.
rpc_null='\x80\x00\x00\x28\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x02\x00\x06\x07\xaf\x00\x00\x00\x01\x00\x00\x00\x00'
rpc_null+='\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
fact vxi11_null "$(probe /dev/tcp/127.0.0.1/1024 28 "$rpc_null")"
# The portmapper: GETPORT (program 100000, version 2, procedure 3) of the core program, version 1, over TCP
# (in a record of 56 bytes) and over UDP (one datagram).
getport='\x00\x00\x00\x2a\x00\x00\x00\x00\x00\x00\x00\x02\x00\x01\x86\xa0\x00\x00\x00\x02\x00\x00\x00\x03'
getport+='\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
getport+='\x00\x06\x07\xaf\x00\x00\x00\x01\x00\x00\x00\x06\x00\x00\x00\x00'
fact portmapper_getport_tcp "$(probe /dev/tcp/127.0.0.1/111 32 '\x80\x00\x00\x38'"$getport")"
fact portmapper_getport_udp "$(probe /dev/udp/127.0.0.1/111 28 "$getport")"
# HTTP: the identification XML that LXI discovery tools read.
exec 4<>/dev/tcp/127.0.0.1/80
printf 'GET /lxi/identification HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' >&4
timeout 5 cat <&4 > /tmp/identification.http
exec 4>&-
fact http_status "$(head -n 1 /tmp/identification.http | tr -d '\r')"
fact http_identification "$(grep -c '<LXIDevice' /tmp/identification.http)"

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
mapfile -t unit_files < <(for unit in "${units[@]}" "$service"; do systemctl show -P FragmentPath "$unit"; done)
systemd-analyze verify --man=no "${unit_files[@]}" > /tmp/verify.txt 2>&1
fact verify_status $?
while IFS= read -r line; do fact verify_output "$line"; done < /tmp/verify.txt

kill -TERM "$generator"
wait "$generator"
cp /tmp/generator.log "$out/generator.log"
journalctl -b --no-pager > "$out/journal.txt" 2>&1
fact DONE yes
