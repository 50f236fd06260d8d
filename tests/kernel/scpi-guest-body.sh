# The SCPI server's real-kernel guest, its own part (sourced by tests/guest/init once the modules are loaded and
# the network card is up): a virtual generator, the server listening on every address (SCPI_LISTEN, the host's
# guest_forward_scpi), then the host's commands (tests/guest/control.sh).
plugs=0
# A generator with the same serial number each time; done once the kernel made its hidraw node.
plug_generator() {
    plugs=$((plugs + 1))
    /test/tarvo-pulse-generator-virtual --serial TPG-SCPI-E2E --no-stream > /tmp/gen$plugs.log 2>&1 &
    generator=$!
    timeout 20 sh -c "until grep -qx START /tmp/gen$plugs.log; do sleep 0.05; done" || say "FAIL the generator did not start"
    timeout 20 sh -c 'until ls /dev/hidraw* > /dev/null 2>&1; do sleep 0.05; done' || say "FAIL no hidraw node"
}
unplug_generator() {
    kill -TERM $generator
    wait $generator
}
generator_reports() {
    for n in $(seq 1 $plugs); do grep '^SET_REPORT' /tmp/gen$n.log | sed "s/^/gen$n /"; done
}
. /test/control.sh

plug_generator
# Read only by sanitizer builds.
export LSAN_OPTIONS=suppressions=/test/lsan.supp
/test/tarvo-pulse-scpi $SCPI_LISTEN -v > /tmp/server.log 2>&1 &
server=$!
scpi_control
kill -TERM $server
wait $server
say "server exit status $?; its log:"
sed 's/^/  /' /tmp/server.log
unplug_generator
say DONE
