#!/usr/bin/env bash
# Builds every harness tests/fuzz/fuzz_<name>.cpp into build/fuzz/ and runs
# each for FUZZ_SECONDS (default 60) from a copy of its corpus
# (tests/fuzz/corpus/<name>/). Prints per harness the edges covered and the
# executions; exits non-zero when any harness found a fault (its input is kept
# as build/fuzz/artifacts/<name>-crash-*). FUZZ_ONLY="a b" runs some alone.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-60}
out=build/fuzz
flags=(-std=c++20 -g -O1 -DKORVEL_ASSERTIONS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -ffp-contract=off -fno-fast-math -Wall -Wextra -Wpedantic -Werror -Iinclude)

# clang and its fuzzing runtime, from Debian's packages when missing.
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
links() { echo "$probe" | clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; }
if ! command -v clang++ >/dev/null || ! links; then
    command -v apt-get >/dev/null || { echo "error: clang with libFuzzer is missing" >&2; exit 1; }
    echo "installing clang and its runtime (Debian packages)"
    apt-get update -qq
    command -v clang++ >/dev/null || apt-get install -y -qq clang >/dev/null
    major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
    links || apt-get install -y -qq "libclang-rt-${major}-dev" >/dev/null
    links || { echo "error: clang++ cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

mkdir -p "$out/artifacts" "$out/logs" "$out/corpus"
if [[ -n "${FUZZ_ONLY:-}" ]]; then
    read -r -a names <<<"$FUZZ_ONLY"
else
    names=()
    for src in tests/fuzz/fuzz_*.cpp; do
        n=${src#tests/fuzz/fuzz_}
        names+=("${n%.cpp}")
    done
fi

# Build what is older than its sources (two at a time: the machine is shared).
stale=()
for n in "${names[@]}"; do
    bin=$out/fuzz_$n
    if [[ ! -x $bin ]] || [[ -n $(find tests/fuzz/fuzz_"$n".cpp tests/fuzz/*.hpp include/korvel \
            -newer "$bin" -print -quit) ]]; then
        stale+=("$n")
    fi
done
build_start=$SECONDS
if ((${#stale[@]})); then
    echo "building ${#stale[@]} harness(es)"
    printf '%s\n' "${stale[@]}" | xargs -P2 -I{} \
        clang++ "${flags[@]}" tests/fuzz/fuzz_{}.cpp -o "$out/fuzz_{}"
fi
echo "built in $((SECONDS - build_start)) s; fuzzing each harness for $seconds s"

failed=()
printf '%-14s %10s %14s  %s\n' harness "cov" executions result
for n in "${names[@]}"; do
    corpus=$out/corpus/$n
    rm -rf "$corpus"
    mkdir -p "$corpus"
    [[ -d tests/fuzz/corpus/$n ]] && cp tests/fuzz/corpus/"$n"/* "$corpus"/ 2>/dev/null || true
    args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=2048
          -artifact_prefix="$out/artifacts/$n-")
    [[ -f tests/fuzz/$n.dict ]] && args+=(-dict="tests/fuzz/$n.dict")
    log=$out/logs/$n.log
    status=ok
    ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$out/fuzz_$n" "${args[@]}" "$corpus" >"$log" 2>&1 || status=FAULT
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | cut -d' ' -f2)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    printf '%-14s %10s %14s  %s\n' "$n" "${cov:-?}" "${execs:-?}" "$status"
    if [[ $status != ok ]]; then
        failed+=("$n")
        grep -E 'check failed|runtime error|ERROR:|SUMMARY|Test unit written' "$log" | head -n 8 |
            sed 's/^/    /'
    fi
done

if ((${#failed[@]})); then
    echo "faults found by: ${failed[*]} (logs in $out/logs/)" >&2
    exit 1
fi
echo "no faults found by ${#names[@]} harnesses"
