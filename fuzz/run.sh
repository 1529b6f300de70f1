#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) into
# build-fuzz/, writes seed corpora, and runs each target for FUZZ_SECONDS
# (default 60), two at a time. Usage: fuzz/run.sh [target ...]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"
SECONDS_EACH="${FUZZ_SECONDS:-60}"
CXX="${FUZZ_CXX:-$(command -v clang++-19 || command -v clang++)}"
PY="$ROOT/.venv/bin/python"
CMAKE="$ROOT/.venv/bin/cmake"
NINJA="$ROOT/.venv/bin/ninja"

ALL=(trov_fuzz cq_fuzz sp_tokenizer_fuzz tools_fuzz v2_bundle_fuzz v3_model_fuzz safetensors_fuzz vocab_fuzz v1_model_fuzz)
TARGETS=("${@:-${ALL[@]}}")

"$CMAKE" -S "$ROOT/fuzz" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_MAKE_PROGRAM="$NINJA" >/dev/null
"$CMAKE" --build "$BUILD" -j 2 --target "${TARGETS[@]}"
PYTHONPATH="$ROOT/python" "$PY" "$ROOT/fuzz/make_seeds.py" "$BUILD/seeds"

run_one() {
  local t="$1" corpus="$BUILD/corpus/${1%_fuzz}" extra=()
  # The reader's I4 notice and the loader's warnings would flood the log;
  # sanitizer reports still come through.
  [[ "$t" == safetensors_fuzz || "$t" == v1_model_fuzz ]] && extra=(-close_fd_mask=2)
  mkdir -p "$corpus" "$BUILD/artifacts"
  echo "== $t (${SECONDS_EACH}s)"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$BUILD/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/${t}-" "${extra[@]}" \
    "$corpus" "$BUILD/seeds/${t%_fuzz}" >"$BUILD/$t.log" 2>&1 \
    && echo "ok  $t" || { echo "FAIL $t (see $BUILD/$t.log)"; tail -40 "$BUILD/$t.log"; return 1; }
}

status=0
pids=()
for t in "${TARGETS[@]}"; do
  run_one "$t" & pids+=($!)
  if (( ${#pids[@]} == 2 )); then
    wait "${pids[0]}" || status=1
    pids=("${pids[1]}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
