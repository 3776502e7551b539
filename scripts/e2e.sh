#!/usr/bin/env bash
# Whole uses, each on a fresh simulated Mac, checked with simmac:
# 1. choose new clocks with tarnwickctl, reboot, log in: the cards run at the
#    chosen clocks and the startup tool sent what it should;
# 2. saved clocks above a card's limit: the login hangs the machine, the next
#    login leaves every card alone and says why, the pane explains, and clocks
#    saved under the limit come back at the login after;
# 3. sleep and wake: the chosen clocks are back when simmac wake returns while
#    "Set at startup" is on, the power-on clocks when it is off.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
tools=$build/host/tools
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen

fail() { echo "e2e: FAILED: $*" >&2; exit 1; }
simmac() { "$tools/simmac" "$@"; }
tarnwickctl() { "$tools/tarnwickctl" "$@" 2>/dev/null; }
# A login; its exit status must be ${1:-0} (2: a login item was killed).
loginwindow() {
  local status=0
  "$tools/loginwindow" >"$SIMMAC_ROOT/login.out" 2>&1 || status=$?
  [ "$status" = "${1:-0}" ] || fail "loginwindow exited with $status: $(cat "$SIMMAC_ROOT/login.out")"
}
# The clocks simmac show gives for the card whose entry is named $1: "core memory".
clocks_of() {
  simmac show | awk -v card="$1" '
    $1 == card      { on = 1 }
    on && /core:/   { core = $NF == "MHz" ? $(NF-1) : $NF }
    on && /memory:/ { print core, $(NF-1); exit }'
}
# The seq of the last command that reached a driver.
last_seq() { simmac trace --last 1 | awk 'NF { print $1 }'; }
# A fresh simulated Mac with the pane installed.
new_mac() {
  export SIMMAC_ROOT=$(mktemp -d "$scratch/mac.XXXXXX")
  # In a root named by SIMMAC_ROOT only init creates the machine.
  simmac init >/dev/null
  scripts/install-pane.sh "$build/bundles/TarnwickPref.prefPane" >/dev/null
}

# Chooses new clocks for the first two cards with "Set at startup" on, keeping
# the clocks before in power_on_* and the chosen ones in chosen_*. Row 0 is
# the ATI Radeon 9800 Pro (27 MHz / 12 per step), row 1 the NV4x card.
choose_clocks() {
  power_on_ati=$(clocks_of "ATY,R350@10")
  power_on_nv=$(clocks_of "NVDA,Parent@1")
  tarnwickctl set 0 400 350 >/dev/null || fail "tarnwickctl set 0"
  tarnwickctl set 1 420 560 >/dev/null || fail "tarnwickctl set 1"
  tarnwickctl startup on >/dev/null || fail "tarnwickctl startup on"
  chosen_ati=$(clocks_of "ATY,R350@10")
  chosen_nv=$(clocks_of "NVDA,Parent@1")
}

# 1. Choose, reboot, log in.
new_mac
choose_clocks
[ "$chosen_ati" = "400.500 351.000" ] || fail "ATI card runs at $chosen_ati after tarnwickctl set"
[ "$chosen_nv" != "$power_on_nv" ] || fail "NVIDIA card did not change"

simmac reboot >/dev/null
[ "$(clocks_of "ATY,R350@10")" = "$power_on_ati" ] || fail "reboot did not restore the power-on clocks"
last_seq=$(last_seq)

loginwindow
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
echo "e2e: login passed (ATI $chosen_ati MHz, NV4x $chosen_nv MHz after reboot and login)"

# 2. Saved clocks above a card's limit. The ATI card holds 430 MHz at first;
# 420 MHz is saved, then its limit drops to 410 MHz.
new_mac
settings=$SIMMAC_ROOT/Library/Preferences/name.halvorn.oddny.TarnwickPref.plist
tarnwickctl set 0 420 350 >/dev/null || fail "tarnwickctl set 0 420 350"
tarnwickctl startup on >/dev/null || fail "tarnwickctl startup on"
[ "$(clocks_of "ATY,R350@10")" = "420.750 351.000" ] || fail "ATI card at $(clocks_of "ATY,R350@10") before its limit drops"
simmac limit AGP --vpu 410 >/dev/null
simmac reboot >/dev/null
loginwindow 2
grep -q "TarnwickStartup.app killed by signal 9" "$SIMMAC_ROOT/login.out" || fail "the startup tool was not killed by the hang: $(cat "$SIMMAC_ROOT/login.out")"
show=$(simmac show)
grep -q "^State: hung by command .*(above its limit 410.000 MHz)" <<<"$show" ||
  fail "simmac show does not say the machine hangs: $(head -3 <<<"$show")"
cp "$settings" "$scratch/settings.before"

simmac reboot >/dev/null
grep -q "^State:" <<<"$(simmac show)" && fail "the machine still hangs after simmac reboot"
before_login=$(last_seq)
loginwindow
grep -q "TarnwickStartup.app exited with status 0" "$SIMMAC_ROOT/login.out" || fail "the login after the hang did not finish"
[ "$(last_seq)" = "$before_login" ] || fail "the login after the hang sent commands: $(simmac trace | awk -v s="$before_login" '$1 + 0 > s')"
cmp -s "$settings" "$scratch/settings.before" || fail "the login after the hang changed the saved settings"
grep -q "Tarnwick: the saved clocks are not applied at login: applying them at login never finished" \
  "$SIMMAC_ROOT/Library/Logs/system.log" || fail "system.log does not say why the clocks were not applied"
grep -q "^Alert: The saved clocks were not applied." <<<"$(tarnwickctl list)" || fail "the pane does not explain"
tarnwickctl set 0 400 350 >/dev/null || fail "tarnwickctl set 0 400 350"
simmac reboot >/dev/null
loginwindow
grep -q "TarnwickStartup.app exited with status 0" "$SIMMAC_ROOT/login.out" || fail "the login after new clocks did not finish"
[ "$(clocks_of "ATY,R350@10")" = "400.500 351.000" ] || fail "ATI card at $(clocks_of "ATY,R350@10") after the login with clocks under its limit"
echo "e2e: hang passed (the login after the hang changed nothing; 400.500 MHz under the limit came back)"

# 3. Sleep and wake.
new_mac
choose_clocks
simmac reboot >/dev/null
loginwindow
simmac sleep >/dev/null
asleep=$(simmac command AGP 0 0 2>&1) && fail "a command reached the sleeping machine"
grep -q "the machine is asleep; simmac wake wakes it" <<<"$asleep" || fail "simmac command did not say the machine is asleep: $asleep"
simmac wake >"$SIMMAC_ROOT/wake.out" 2>&1 || fail "simmac wake failed: $(cat "$SIMMAC_ROOT/wake.out")"
grep -q "TarnwickStartup exited with status 0" "$SIMMAC_ROOT/wake.out" || fail "simmac wake did not run the startup tool: $(cat "$SIMMAC_ROOT/wake.out")"
[ "$(clocks_of "ATY,R350@10")" = "$chosen_ati" ] || fail "ATI card at $(clocks_of "ATY,R350@10") after wake, chosen $chosen_ati"
[ "$(clocks_of "NVDA,Parent@1")" = "$chosen_nv" ] || fail "NVIDIA card at $(clocks_of "NVDA,Parent@1") after wake, chosen $chosen_nv"
tarnwickctl startup off >/dev/null || fail "tarnwickctl startup off"
simmac sleep >/dev/null
simmac wake >"$SIMMAC_ROOT/wake.out" 2>&1 || fail "simmac wake failed: $(cat "$SIMMAC_ROOT/wake.out")"
[ "$(clocks_of "ATY,R350@10")" = "$power_on_ati" ] || fail "ATI card at $(clocks_of "ATY,R350@10") after wake with Set at startup off"
[ "$(clocks_of "NVDA,Parent@1")" = "$power_on_nv" ] || fail "NVIDIA card at $(clocks_of "NVDA,Parent@1") after wake with Set at startup off"
echo "e2e: wake passed (ATI $chosen_ati MHz back after wake; power-on clocks with Set at startup off)"
