#!/usr/bin/env bash
# One whole use on a fresh simulated Mac: install the pane, choose new clocks
# with tarnwickctl, reboot, log in, then check with simmac that the cards run
# at the chosen clocks and that the startup tool sent what it should.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
tools=$build/host/tools
export SIMMAC_ROOT=$(mktemp -d)
trap 'rm -rf "$SIMMAC_ROOT"' EXIT
export QT_QPA_PLATFORM=offscreen

fail() { echo "e2e: FAILED: $*" >&2; exit 1; }
simmac() { "$tools/simmac" "$@"; }
tarnwickctl() { "$tools/tarnwickctl" "$@" 2>/dev/null; }
# The clocks simmac show gives for the card whose entry line matches $1: "core memory".
clocks_of() {
  simmac show | awk -v card="$1" '
    index($0, card) { on = 1 }
    on && /core:/   { core = $NF == "MHz" ? $(NF-1) : $NF }
    on && /memory:/ { print core, $(NF-1); exit }'
}

scripts/install-pane.sh "$build/bundles/TarnwickPref.prefPane" >/dev/null
# In a root named by SIMMAC_ROOT only init creates the machine.
simmac init >/dev/null
power_on_ati=$(clocks_of "ATY,R350@10")
power_on_nv=$(clocks_of "NVDA,Parent@1")

# Row 0 is the ATI Radeon 9800 Pro (27 MHz / 12 per step), row 1 the NV4x card.
tarnwickctl set 0 400 350 >/dev/null || fail "tarnwickctl set 0"
tarnwickctl set 1 420 560 >/dev/null || fail "tarnwickctl set 1"
tarnwickctl startup on >/dev/null || fail "tarnwickctl startup on"
chosen_ati=$(clocks_of "ATY,R350@10")
chosen_nv=$(clocks_of "NVDA,Parent@1")
[ "$chosen_ati" = "400.500 351.000" ] || fail "ATI card runs at $chosen_ati after tarnwickctl set"
[ "$chosen_nv" != "$power_on_nv" ] || fail "NVIDIA card did not change"

simmac reboot >/dev/null
[ "$(clocks_of "ATY,R350@10")" = "$power_on_ati" ] || fail "reboot did not restore the power-on clocks"
last_seq=$(simmac trace --last 1 | awk 'NF { print $1 }')

"$tools/loginwindow" >"$SIMMAC_ROOT/login.out" 2>&1 || fail "loginwindow failed"
grep -q "TarnwickStartup.app exited with status 0" "$SIMMAC_ROOT/login.out" || fail "loginwindow did not run the startup tool"
[ "$(clocks_of "ATY,R350@10")" = "$chosen_ati" ] || fail "ATI card at $(clocks_of "ATY,R350@10") after login, chosen $chosen_ati"
[ "$(clocks_of "NVDA,Parent@1")" = "$chosen_nv" ] || fail "NVIDIA card at $(clocks_of "NVDA,Parent@1") after login, chosen $chosen_nv"

# What the login sent: the startup build identifies an ATI card with one
# ReadATIPLL and no register reads, measures the stock clocks the firmware
# states (one write there, one back), then walks both dividers one unit per
# command (169 -> 178 and 151 -> 156: nine writes); nothing is refused.
login=$(simmac trace | awk -v s="$last_seq" '$1 + 0 > s')
ati=$(grep 'ATY,R350@10' <<<"$login")
[ "$(grep -c 'ReadATIPLL' <<<"$ati")" = 1 ] || fail "the startup tool read the ATI PLL $(grep -c ReadATIPLL <<<"$ati") times"
! grep -q 'ReadATIRegister' <<<"$ati" || fail "the startup tool read ATI memory registers"
[ "$(grep -c 'WriteATIPLL' <<<"$ati")" = 11 ] || fail "expected 2 + 9 WriteATIPLL commands, got $(grep -c WriteATIPLL <<<"$ati")"
! grep -qv 'accepted' <<<"$login" || fail "a command of the login was refused"
grep -q 'WriteNVIDIARegister(12) 0x4000 = ' <<<"$login" || fail "the NV4x core control word was not written at login"
echo "e2e: passed (ATI $chosen_ati MHz, NV4x $chosen_nv MHz after reboot and login)"
