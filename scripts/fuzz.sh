#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for SECONDS (default 60) on a copy of its seed corpus, so that runs never
# write into the repository; as many targets at once as there are cores.
# Fails when any target finds a crash; the input that crashed is kept in
# build-fuzz/fuzz-artifacts/<target>/.
# Usage: fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(fuzz_saved_settings fuzz_machine_plist fuzz_strings fuzz_driver_command)

scripts/setup.sh clang-14 libclang-rt-14-dev

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_FUZZ=ON -DTARNWICK_WERROR=ON -DTARNWICK_WITH_PANE=OFF -DTARNWICK_WITH_BENCH=OFF >/dev/null
start=$SECONDS
cmake --build build-fuzz -j"$(nproc)" --target fuzz
echo "fuzz: targets built in $((SECONDS - start)) s"

# Corpus copies and the targets' simulated Macs live here (in memory when
# there is a tmpfs), removed afterwards.
base=/dev/shm; [ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/tarnwick-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=$PWD/build-fuzz/fuzz-artifacts

# One target for SECONDS; its outcome in $work/<target>.status.
fuzz() {
  local target=$1 corpus=$work/corpus/$1 log=$work/$1.log dict=()
  mkdir -p "$corpus" "$work/tmp/$target" "$artifacts/$target"
  cp -R "fuzz/corpus/$target/." "$corpus/"
  # Tokens of the target's input format, when it has a dictionary.
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  # One job in this process (no -jobs: it would fork workers logging into
  # the current folder). The host's log lines go to stderr; -close_fd_mask=2
  # keeps them out of libFuzzer's report, which still shows every crash.
  if TMPDIR=$work/tmp/$target ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=25 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/$target/" "${dict[@]}" \
      "$corpus" >"$log" 2>&1; then
    echo ok >"$work/$target.status"
  else
    echo crash >"$work/$target.status"
  fi
}

failed=()
batch=$(nproc)
for ((i = 0; i < ${#targets[@]}; i += batch)); do
  for target in "${targets[@]:i:batch}"; do fuzz "$target" & done
  wait
done
for target in "${targets[@]}"; do
  log=$work/$target.log
  if [ "$(cat "$work/$target.status" 2>/dev/null)" = ok ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: ${seconds}s, ${runs:-?} inputs, no crash"
  else
    echo "fuzz: $target FOUND A CRASH (input kept in $artifacts/$target/):" >&2
    grep -E 'ERROR|SUMMARY|invariant|Test unit written|==[0-9]+==' "$log" | head -20 >&2 || tail -30 "$log" >&2
    failed+=("$target")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: crashes in ${failed[*]}" >&2
  exit 1
fi
