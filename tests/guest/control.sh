# The command line between the host (tests/scpi/guest_client.py, on the socket of guest_control_line) and a guest,
# on the guest's second serial port. Sourced by the SCPI guest's body (busybox sh) and the Wine guest's scenarios
# (bash), which define plug_generator, unplug_generator and generator_reports (each SET_REPORT line a generator
# received, after its log's name: "gen1 SET_REPORT ...").
#   scpi_control: says READY, then runs the host's commands until "done" or the line closes:
#     unplug -> UNPLUGGED, plug -> PLUGGED, reports -> the lines then END.
scpi_control() {
    exec 3<>/dev/ttyS1
    stty raw -echo <&3
    echo READY >&3
    while read -r command <&3; do
        echo "SCPI_CONTROL $command"
        case $command in
            unplug) unplug_generator; echo UNPLUGGED >&3 ;;
            plug) plug_generator; echo PLUGGED >&3 ;;
            reports) generator_reports >&3; echo END >&3 ;;
            done) break ;;
        esac
    done
    exec 3<&-
}
