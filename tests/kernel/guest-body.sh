# The real-kernel test's part of its guest (sourced by tests/guest/init once the HID modules are loaded): the test
# against the virtual generators, then tarvo-pulse-ctl, the real program, against a generator of its own.
# Read only by sanitizer builds.
export LSAN_OPTIONS=suppressions=/test/lsan.supp
/test/tarvo_kernel_e2e --virtual /test/tarvo-pulse-generator-virtual --foreign /test/tarvo-foreign-hid-virtual \
    --deadline 150
echo "KERNEL_E2E EXIT $?"
/test/ctl-e2e.sh /test/tarvo-pulse-ctl /test/tarvo-pulse-generator-virtual /tmp
echo "CTL_E2E EXIT $?"
