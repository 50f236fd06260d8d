#!/usr/bin/env bash
# The Windows installer under 64-bit Wine, as a user or an administrator's script would run it: a silent install
# puts the three programs, the Start-menu shortcut and the "Apps & features" entry in place; the installed program
# starts and stays up, and while it runs neither an install nor the uninstall changes anything; it closes when its
# window is asked to; a second install over the first replaces the files; the silent uninstall leaves no file,
# shortcut or registry key behind. Each failure names its step.
#   windows_installer_check.sh WINE64 SETUP.EXE STAGE_DIR VERSION
# Needs WINEPREFIX (a prefix already booted) and an X display (tools/dev runs the Windows tests under xvfb-run).
set -uo pipefail
wine=$1 installer=$2 stage=$3 version=$4

step="preconditions"
fail() { echo "FAIL ($step): $*"; exit 1; }
pass() { echo "ok ($step, $((SECONDS - step_start)) s)"; }
begin() { step=$1; step_start=$SECONDS; }
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set (ctest --preset mingw-x86_64 sets it)"
[ -n "${DISPLAY:-}" ] || fail "no X display to start the program on (tools/dev runs the Windows tests under xvfb-run)"
[ -f "$installer" ] || fail "no installer at $installer (the build makes it where makensis, Debian's nsis, is found)"
echo "installer: $(basename "$installer"), $(stat -c %s "$installer") bytes"

product="Tarvo Pulse Generator"
dir="$WINEPREFIX/drive_c/Program Files/$product"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$product.lnk"
key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
win_dir="C:\\Program Files\\$product"
program=tarvo-pulse-generator.exe ctl=tarvo-pulse-ctl.exe scpi=tarvo-pulse-scpi.exe
scratch=$(mktemp -d)
program_pid=""

# Nothing of this test outlives it: a program still running is ended, the scratch folder removed.
cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        kill -9 "$program_pid" 2>/dev/null
        wait "$program_pid" 2>/dev/null
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# A Linux path as Wine's Z: drive names it.
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
run() { "$wine" "$@" </dev/null >"$scratch/out" 2>&1; }
registry() { "$wine" reg query "$key" </dev/null 2>/dev/null | tr -d '\r'; }
# One value of the registry query's output: "    Name    REG_SZ    data".
value() { sed -n "s/^ *$1 \+REG_[A-Z_]\+ \+//p" <<<"$2"; }

expect_value() {
    local name=$1 wanted=$2 found
    found=$(value "$name" "$query")
    [ "$found" = "$wanted" ] || fail "the uninstall key's $name is '$found', not '$wanted'"
}

check_installed() {
    local listing wanted
    listing=$(cd "$dir" 2>/dev/null && ls | sort) || fail "no folder $dir"
    wanted=$(printf '%s\n' $ctl $program $scpi uninstall.exe | sort)
    [ "$listing" = "$wanted" ] || fail "the folder holds $(echo $listing), not $(echo $wanted)"
    cmp -s "$stage/$program" "$dir/$program" || fail "the installed $program is not the built one"
    cmp -s "$stage/$ctl" "$dir/$ctl" || fail "the installed $ctl is not the built one"
    cmp -s "$stage/$scpi" "$dir/$scpi" || fail "the installed $scpi is not the built one"

    [ -f "$link" ] || fail "no Start-menu shortcut $link"
    # The shortcut names its target's full path (in 8-bit characters, as Wine writes it, or UTF-16).
    if ! LC_ALL=C grep -qaF "$win_dir\\$program" "$link" &&
       ! iconv -f UTF-16LE -t UTF-8 "$link" 2>/dev/null | grep -qaF "$win_dir\\$program"; then
        fail "the shortcut does not point at $win_dir\\$program"
    fi

    query=$(registry) || fail "no key $key"
    expect_value DisplayName "$product"
    expect_value Publisher Tarvo
    expect_value DisplayVersion "$version"
    expect_value DisplayIcon "$win_dir\\$program,0"
    expect_value InstallLocation "$win_dir"
    expect_value UninstallString "\"$win_dir\\uninstall.exe\""
    expect_value QuietUninstallString "\"$win_dir\\uninstall.exe\" /S"
    expect_value NoModify 0x1
    expect_value NoRepair 0x1
    local size bytes
    size=$(( $(value EstimatedSize "$query") ))
    bytes=$(cat "$dir"/* | wc -c)
    [ $((size - bytes / 1024)) -ge -1 ] && [ $((size - bytes / 1024)) -le 1 ] ||
        fail "EstimatedSize is $size KB; the folder holds $((bytes / 1024)) KB"
}

begin "clear what an earlier run left"
if [ -e "$dir" ] || [ -e "$link" ] || registry >/dev/null; then
    rm -rf "$dir" "$link"
    run reg delete "$key" /f
    echo "removed an installation an earlier run left"
fi
pass

begin "silent install"
run "$(winpath "$installer")" /S || fail "the installer exited $?: $(cat "$scratch/out")"
check_installed
pass

begin "the installed programs run"
"$wine" "$win_dir\\$program" </dev/null >"$scratch/program.out" 2>&1 &
program_pid=$!
out=$("$wine" "$win_dir\\$ctl" --version </dev/null 2>&1 | tr -d '\r')
[ "$out" = "tarvo-pulse-ctl $version" ] || fail "$ctl --version gave '$out'"
out=$("$wine" "$win_dir\\$scpi" --version </dev/null 2>&1 | tr -d '\r')
[ "$out" = "tarvo-pulse-scpi $version" ] || fail "$scpi --version gave '$out'"
sleep 3
kill -0 "$program_pid" 2>/dev/null || { wait "$program_pid"; fail "$program ended within 3 s (exit $?): $(cat "$scratch/program.out")"; }
pass

begin "no install or uninstall while the program runs"
# Windows cannot replace or delete a running program: both stop with exit status 2 and change nothing. The
# uninstaller runs in place here (_?=), so that its status is its own. _?= must come last and unquoted, which
# Wine's quoting of an argument with spaces would spoil: a batch file gives the command line as written.
run "$(winpath "$installer")" /S
status=$?
[ $status -eq 2 ] || fail "an install over the running program exited $status, not 2"
check_installed
printf '@"%s\\uninstall.exe" /S _?=%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$win_dir" "$win_dir" >"$scratch/uninstall.bat"
run cmd /c "$(winpath "$scratch/uninstall.bat")"
status=$?
[ $status -eq 2 ] || fail "the uninstall of the running program exited $status, not 2"
check_installed
kill -0 "$program_pid" 2>/dev/null || fail "$program has ended"
pass

begin "the program closes when asked"
# Asked to close as Windows asks a window (taskkill without /F sends WM_CLOSE to the process's windows), it ends
# by itself: a program without its window would not.
run taskkill /IM "$program" || fail "taskkill could not ask $program to close: $(cat "$scratch/out")"
for _ in $(seq 50); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$program_pid" 2>/dev/null && fail "$program still runs 10 s after it was asked to close"
wait "$program_pid" || fail "$program exited $? after it was asked to close"
program_pid=""
pass

begin "second install over the first"
: >"$dir/$ctl"   # an older copy, which the install must replace
run "$(winpath "$installer")" /S || fail "the second install exited $?: $(cat "$scratch/out")"
check_installed
pass

begin "silent uninstall"
# As "Apps & features" runs it: the uninstaller copies itself to a temporary folder, starts that copy and ends;
# the copy removes the files a moment later.
run "$win_dir\\uninstall.exe" /S || fail "the uninstaller exited $?: $(cat "$scratch/out")"
for _ in $(seq 60); do
    [ ! -e "$dir" ] && [ ! -e "$link" ] && ! registry >/dev/null && break
    sleep 0.5
done
[ -e "$dir" ] && fail "the folder is left, holding: $(ls "$dir")"
[ -e "$link" ] && fail "the Start-menu shortcut is left"
registry >/dev/null && fail "the uninstall key is left"
pass
echo "installer: all steps passed"
