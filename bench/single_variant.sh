#!/usr/bin/env bash
# Times the single-variant analyses (Wald tests, -COM, and score tests of trait 1,
# -COM_SCORE) on simulated data of set sizes and prints variants per second and peak resident
# memory, both analyses on the same data set.
#
# Usage: bench/single_variant.sh [BUILD_DIR] [PRESET...]
#   BUILD_DIR  build directory holding varnosta and tools/simulate (default: build/ at the
#              top of the source tree)
#   PRESET     small       m=500,  n-m=500,   K=3, two discrete covariates (2 and 3 levels)
#              medium      m=2000, n-m=6000,  K=3, two discrete covariates
#              large       m=5000, n-m=15000, K=3, two discrete covariates
#              continuous  m=500,  n-m=500,   K=3, one continuous covariate (about m distinct
#                          design rows, the expensive case)
#              custom      sizes from the environment (below)
#              default: small medium large continuous
#
# Environment:
#   ANALYSES    the analyses to time, in order (default "wald score")
#   VARIANTS    variants per data set, every preset (default 200)
#   SEED        simulator seed (default 1)
#   M, NONSEQ, K, COVARIATES   sizes of the custom preset (defaults 500, 500, 3, discrete);
#               COVARIATES is discrete (DISCRETE level counts, default 2,3), continuous
#               (CONTINUOUS columns, default 1), mixed (both) or none
#   KEEP=1      keep the temporary directory with the data and the outputs
#
# Peak memory comes from GNU time (/usr/bin/time -v) when present; otherwise the bash `time`
# keyword gives the wall time alone.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
presets=()
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    small | medium | large | continuous | custom) presets+=("$arg") ;;
    *)
      if [ ${#presets[@]} -eq 0 ] && [ -d "$arg" ]; then
        build=$(cd "$arg" && pwd)
      else
        echo "Error: '$arg' is neither a build directory nor a preset (see --help)" >&2
        exit 1
      fi
      ;;
  esac
done
[ ${#presets[@]} -gt 0 ] || presets=(small medium large continuous)

varnosta="$build/varnosta"
simulate="$build/tools/simulate"
for exe in "$varnosta" "$simulate"; do
  if [ ! -x "$exe" ]; then
    echo "Error: $exe not found; build first (cmake --build $build)" >&2
    exit 1
  fi
done

variants=${VARIANTS:-200}
read -r -a analyses <<<"${ANALYSES:-wald score}"
for analysis in "${analyses[@]}"; do
  case "$analysis" in
    wald | score) ;;
    *)
      echo "Error: ANALYSES holds wald and score, not '$analysis'" >&2
      exit 1
      ;;
  esac
done
seed=${SEED:-1}
if /usr/bin/time -v true >/dev/null 2>&1; then
  gnu_time=1
else
  gnu_time=0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/varnosta-bench.XXXXXX")
if [ "${KEEP:-0}" = 1 ]; then
  echo "Data and outputs kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# Simulator flags of a covariate kind.
covariate_flags() {
  case "$1" in
    discrete) echo "--discrete ${DISCRETE:-2,3} --continuous 0" ;;
    continuous) echo "--discrete none --continuous ${CONTINUOUS:-1}" ;;
    mixed) echo "--discrete ${DISCRETE:-2,3} --continuous ${CONTINUOUS:-1}" ;;
    none) echo "--discrete none --continuous 0" ;;
    *)
      echo "Error: COVARIATES must be discrete, continuous, mixed or none, not '$1'" >&2
      return 1
      ;;
  esac
}

# GNU time's elapsed field is h:mm:ss or m:ss.ss.
to_seconds() {
  awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<<"$1"
}

# Runs one analysis (wald or score) of one data set, its outputs and logs in dir/analysis;
# sets `seconds`, `rss_mb` and `rc`.
time_analysis() {
  local data=$1 analysis=$2
  local dir=$data/$analysis
  mkdir -p "$dir"
  local mode=(-COM)
  [ "$analysis" = score ] && mode=(-COM_SCORE -TRAIT 1)
  local cmd=("$varnosta" "${mode[@]}" -PHENO_SEQ "$data/pheno_seq.tab"
    -PHENO_NONSEQ "$data/pheno_nonseq.tab" -GENO "$data/geno.tab" -OUT_MLE "$dir/mle.tab"
    -OUT_NAIVE "$dir/naive.tab" -OUT_WARN "$dir/warning.txt")
  rc=0
  rss_mb=n/a
  if [ "$gnu_time" = 1 ]; then
    /usr/bin/time -v -o "$dir/time.txt" "${cmd[@]}" >"$dir/console.txt" 2>"$dir/stderr.txt" ||
      rc=$?
    seconds=$(to_seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$dir/time.txt")")
    local kb
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
    [ -z "$kb" ] || rss_mb=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
  else
    local TIMEFORMAT=%R
    seconds=$({ time "${cmd[@]}" >"$dir/console.txt" 2>"$dir/stderr.txt"; } 2>&1) || rc=$?
    seconds=$(tail -n 1 <<<"$seconds")
  fi
}

printf '%-11s %-8s %6s %6s %2s %-10s %8s %9s %10s %9s  %s\n' preset analysis m n-m K \
  covariates variants seconds variants/s peakRSS_MB status
status_all=0
for preset in "${presets[@]}"; do
  case "$preset" in
    small) m=500 nonseq=500 k=3 cov=discrete ;;
    medium) m=2000 nonseq=6000 k=3 cov=discrete ;;
    large) m=5000 nonseq=15000 k=3 cov=discrete ;;
    continuous) m=500 nonseq=500 k=3 cov=continuous ;;
    custom) m=${M:-500} nonseq=${NONSEQ:-500} k=${K:-3} cov=${COVARIATES:-discrete} ;;
  esac
  dir="$work/$preset"
  flags=$(covariate_flags "$cov")
  # --min-mac 2 keeps every variant's per-trait least-squares fit estimable.
  # shellcheck disable=SC2086
  if ! "$simulate" --out "$dir" --seed "$seed" --m "$m" --nonseq "$nonseq" --traits "$k" \
    --variants "$variants" --min-mac 2 $flags >"$work/$preset.simulate.txt" 2>&1; then
    echo "Error: simulate failed for preset $preset:" >&2
    cat "$work/$preset.simulate.txt" >&2
    exit 1
  fi
  for analysis in "${analyses[@]}"; do
    time_analysis "$dir" "$analysis"
    out=$dir/$analysis
    rows=$(($(wc -l 2>/dev/null <"$out/mle.tab" || echo 1) - 1))
    if [ "$rc" -ne 0 ]; then
      status="FAILED (exit $rc): $(tail -n 1 "$out/stderr.txt")"
      status_all=1
    elif [ "$rows" -ne "$variants" ]; then
      status="INCOMPLETE ($rows of $variants rows)"
      status_all=1
    else
      status=ok
    fi
    rate=$(awk -v v="$variants" -v s="$seconds" 'BEGIN {
      if (s > 0) printf "%.1f", v / s; else print "n/a" }')
    printf '%-11s %-8s %6d %6d %2d %-10s %8d %9s %10s %9s  %s\n' "$preset" "$analysis" "$m" \
      "$nonseq" "$k" "$cov" "$variants" "$seconds" "$rate" "$rss_mb" "$status"
  done
done
exit $status_all
