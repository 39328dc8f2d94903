#!/usr/bin/env bash
# Times the all-traits gene-based analysis (-RARE_ALL) on simulated genes and prints genes per
# second and peak resident memory for three runs on the same data: all four tests, SKAT alone
# and the three burden tests alone, from which the SKAT share of time and memory follows.
#
# Usage: bench/gene_all.sh [BUILD_DIR]
#   BUILD_DIR  build directory holding varnosta and tools/simulate (default: build/ at the
#              top of the source tree)
#
# Environment (defaults in brackets):
#   GENES       genes [200]
#   PER_GENE    variants per gene, a range A,B: each gene's size is drawn uniformly from it
#               [5,50]
#   M, NONSEQ, K   sequenced and non-sequenced subjects and traits [2000, 6000, 3]
#   SEED        simulator seed [1]
#   KEEP=1      keep the temporary directory with the data and the outputs
#
# Peak memory comes from GNU time (/usr/bin/time -v) when present; otherwise the bash `time`
# keyword gives the wall time alone. Example of a quick run: GENES=20 M=500 NONSEQ=1000
# bench/gene_all.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
case "${1:-}" in
  -h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
  "") ;;
  *) build=$(cd "$1" && pwd) ;;
esac
varnosta="$build/varnosta"
simulate="$build/tools/simulate"
for exe in "$varnosta" "$simulate"; do
  if [ ! -x "$exe" ]; then
    echo "Error: $exe not found; build first (cmake --build $build)" >&2
    exit 1
  fi
done

genes=${GENES:-200}
per_gene=${PER_GENE:-5,50}
m=${M:-2000}
nonseq=${NONSEQ:-6000}
k=${K:-3}
seed=${SEED:-1}
lo=${per_gene%,*}
hi=${per_gene#*,}

work=$(mktemp -d "${TMPDIR:-/tmp}/varnosta-gene-bench.XXXXXX")
if [ "${KEEP:-0}" = 1 ]; then
  echo "Data and outputs kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# The simulator cuts the variants into genes of one size; draw the sizes here (a fixed
# sequence from the seed) and give each gene its own run of variants.
variants=0
sizes=()
rand=$seed
for ((g = 0; g < genes; g++)); do
  rand=$(((rand * 1103515245 + 12345) % 2147483648))
  size=$((lo + rand % (hi - lo + 1)))
  sizes+=("$size")
  variants=$((variants + size))
done
data="$work/data"
"$simulate" --out "$data" --seed "$seed" --m "$m" --nonseq "$nonseq" --traits "$k" \
  --variants "$variants" --per-gene 1 --discrete 2,3 --continuous 0 --rare-fraction 0.8 \
  >"$work/simulate.txt"
# One gene per run of the drawn sizes, in the order of the genotype table.
awk -v sizes="${sizes[*]}" 'BEGIN { n = split(sizes, s, " "); g = 1; left = s[1] }
  { if (left == 0) { g++; left = s[g] } printf "G%04d\t%s\t%s\n", g, $2, $3; left-- }' \
  "$data/map.tab" >"$data/map_genes.tab"

if /usr/bin/time -v true >/dev/null 2>&1; then
  gnu_time=1
else
  gnu_time=0
fi
to_seconds() {
  awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<<"$1"
}

# Runs one selection of tests; sets `seconds` and `rss_mb`.
run() {
  local name=$1
  shift
  local dir="$work/$name"
  mkdir -p "$dir"
  local cmd=("$varnosta" -RARE_ALL -PHENO_SEQ "$data/pheno_seq.tab"
    -PHENO_NONSEQ "$data/pheno_nonseq.tab" -GENO "$data/geno.tab" -MAP "$data/map_genes.tab"
    -OUT_MLE "$dir/gene.tab" -OUT_WARN "$dir/warning.txt")
  for t in "$@"; do cmd+=("-$t" "$dir/$t.tab"); done
  rss_mb=n/a
  if [ "$gnu_time" = 1 ]; then
    /usr/bin/time -v -o "$dir/time.txt" "${cmd[@]}" >"$dir/console.txt" 2>"$dir/stderr.txt"
    seconds=$(to_seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$dir/time.txt")")
    local kb
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
    [ -z "$kb" ] || rss_mb=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
  else
    local TIMEFORMAT=%R
    seconds=$({ time "${cmd[@]}" >"$dir/console.txt" 2>"$dir/stderr.txt"; } 2>&1)
    seconds=$(tail -n 1 <<<"$seconds")
  fi
  local rows=$(($(wc -l <"$dir/gene.tab") - 1))
  [ "$rows" -eq "$genes" ] || echo "Warning: $name wrote $rows gene lines of $genes" >&2
}

echo "m=$m n-m=$nonseq K=$k genes=$genes variants=$variants (per gene $lo..$hi)"
printf '%-8s %9s %8s %10s\n' tests seconds genes/s peakRSS_MB
declare -A secs rss
for sel in all SKAT burden; do
  case "$sel" in
    all) run "$sel" SKAT T1 T5 MB ;;
    SKAT) run "$sel" SKAT ;;
    burden) run "$sel" T1 T5 MB ;;
  esac
  secs[$sel]=$seconds
  rss[$sel]=$rss_mb
  printf '%-8s %9s %8s %10s\n' "$sel" "$seconds" \
    "$(awk -v g="$genes" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.2f", g / s; else print "n/a" }')" \
    "$rss_mb"
done
awk -v a="${secs[all]}" -v b="${secs[burden]}" -v s="${secs[SKAT]}" 'BEGIN {
  if (a > 0) printf "SKAT share of time: %.0f%% (all minus burden), %.0f%% (SKAT alone / all)\n",
    100 * (a - b) / a, 100 * s / a }'
echo "Peak memory: all ${rss[all]} MB, SKAT alone ${rss[SKAT]} MB, burden alone ${rss[burden]} MB"
