#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each on a copy of its seed corpus for a bounded
# time: 60 seconds each, or the number of seconds given as the first argument
# (`bash scripts/fuzz.sh 10`). Prints one line per target and exits non-zero when any
# target found a crash, a leak, undefined behaviour or a hang; the failing input and
# the fuzzer's log are kept and named. The committed corpus is never changed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

# Longest input per target: a few frames beyond the decoder's small test limit; a
# datagram just above the size that is dropped unread; a few dozen records; a prologue
# and a handshake with some bytes after them; a room proof of the longest chain and
# more; a history frame of the largest the host sends (about 30 KB); a settings or
# face-mark file of a few kilobytes.
targets=(
    "fuzz_frame_decoder 8192"
    "fuzz_message_reader 1024"
    "fuzz_room_history 32768"
    "fuzz_discovery_datagram 4200"
    "fuzz_record_decoder 8192"
    "fuzz_secure_channel 2048"
    "fuzz_room_proof 2048"
    "fuzz_profile_file 4096"
    "fuzz_face_marks 4096"
    "fuzz_file_parts 70000"
)

bash scripts/setup.sh clang libclang-rt-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch="$(mktemp -d "${TMPDIR:-/tmp}/mirelune-fuzz.XXXXXX")"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

failed=0
summary=()
for entry in "${targets[@]}"; do
    read -r target max_len <<<"$entry"
    corpus="$scratch/$target/corpus"
    artifacts="$scratch/$target/artifacts"
    log="$scratch/$target/fuzz.log"
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    status=0
    "build/fuzz/bin/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
    runs="$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -n 1)"
    coverage="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)"
    if [ "$status" -eq 0 ]; then
        summary+=("$(printf '%-26s ok      %s, %s, corpus %s inputs' "$target" "${runs:-? runs}" \
            "${coverage:-cov: ?}" "$(find "$corpus" -type f | wc -l)")")
    else
        failed=1
        finding="$(find "$artifacts" -type f -print -quit)"
        summary+=("$(printf '%-26s FAILED  exit %s, input %s, log %s' "$target" "$status" "${finding:-none}" "$log")")
        tail -n 40 "$log" >&2
    fi
done

printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
    echo "fuzzing found a fault; inputs and logs are kept in $scratch" >&2
    exit 1
fi
rm -rf "$scratch"
