#!/usr/bin/env bash
# Times the analyses on simulated data of set sizes: variants (or genes) per second and peak
# resident memory, for one build or for two builds side by side on the same data.
#
# Usage: bench/bench.sh [options] [BUILD_A [BUILD_B]]
#   BUILD_A, BUILD_B  build directories holding varnosta and tools/simulate (default: build/ at
#                     the top of the source tree). With two builds every run alternates
#                     A B A B ..., the table gives the median of each and the ratio of their
#                     throughputs (B over A), and the outputs of the two are compared.
# Options:
#   -a LIST   analyses, comma-separated: com (Wald), score, rare_all, rare_onetrait; default
#             all four. An analysis that a build does not provide is reported as "absent".
#   -s LIST   sizes, comma-separated (default small,medium,large,continuous):
#               small       m=500,  n-m=500,   K=3, two discrete covariates (2 and 3 levels)
#               medium      m=2000, n-m=6000,  K=3, discrete
#               large       m=5000, n-m=15000, K=3, discrete
#               continuous  m=500,  n-m=500,   K=3, one continuous covariate (J about m)
#               c500 c1000 c2000 c4000   the continuous series, n-m = m ("series" names all
#                           four; the exponent of the per-variant cost in m is fitted over
#                           the members that ran)
#               custom      sizes from the environment: M, NONSEQ, K, COVARIATES (discrete,
#                           continuous, mixed or none; DISCRETE level counts, default 2,3;
#                           CONTINUOUS columns, default 1)
#   -v N      variants per data set (default per size: small 200, medium 50, large 20,
#             continuous and c500 20, c1000 6, c2000 2, c4000 1, custom 20); the gene-based
#             analyses cut them into genes (PER_GENE below)
#   -r N      runs per build (default 1 with one build, 2 with two)
#   -k        keep the temporary directory with the data and the outputs
# Environment:
#   SEED        simulator seed (default 1)
#   PER_GENE    variants per gene: P, or a range A,B from which each gene's size is drawn
#               (a fixed sequence from the seed) [5]
#   GENE_TESTS  the gene tests the gene-based analyses run, from SKAT,T1,T5,MB [all four]
#
# Output comparison (two builds): every field of every output file is compared; "identical",
# "last digit" (some numbers differ by one unit of the last printed digit, nothing else) or
# "DIFFER: ..." (anything more: a larger numeric difference, other text or NA placement,
# other warnings, other line or field counts).
#
# Peak memory comes from GNU time (/usr/bin/time -v) when present; otherwise the bash `time`
# keyword gives the wall time alone.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

analyses=com,score,rare_all,rare_onetrait
sizes=small,medium,large,continuous
variants_override=
runs=
keep=0
while getopts "a:s:v:r:kh" opt; do
  case "$opt" in
    a) analyses=$OPTARG ;;
    s) sizes=$OPTARG ;;
    v) variants_override=$OPTARG ;;
    r) runs=$OPTARG ;;
    k) keep=1 ;;
    h)
      usage
      exit 0
      ;;
    *)
      usage >&2
      exit 1
      ;;
  esac
done
shift $((OPTIND - 1))
[ $# -le 2 ] || {
  echo "Error: at most two build directories" >&2
  exit 1
}
builds=()
for b in "${@:-$repo/build}"; do
  [ -d "$b" ] || {
    echo "Error: '$b' is not a directory" >&2
    exit 1
  }
  b=$(cd "$b" && pwd)
  for exe in "$b/varnosta" "$b/tools/simulate"; do
    [ -x "$exe" ] || {
      echo "Error: $exe not found; build first (cmake --build $b)" >&2
      exit 1
    }
  done
  builds+=("$b")
done
nb=${#builds[@]}
[ -n "$runs" ] || runs=$((nb == 2 ? 2 : 1))
sizes=${sizes//series/c500,c1000,c2000,c4000}
IFS=, read -r -a size_list <<<"$sizes"
IFS=, read -r -a analysis_list <<<"$analyses"
for a in "${analysis_list[@]}"; do
  case "$a" in
    com | score | rare_all | rare_onetrait) ;;
    *)
      echo "Error: unknown analysis '$a'" >&2
      exit 1
      ;;
  esac
done

seed=${SEED:-1}
gnu_time=0
/usr/bin/time -v true >/dev/null 2>&1 && gnu_time=1
work=$(mktemp -d "${TMPDIR:-/tmp}/varnosta-bench.XXXXXX")
if [ "$keep" = 1 ]; then
  echo "Data and outputs kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# Sets m, nonseq, k, cov and nvar of a size.
size_params() {
  k=3
  case "$1" in
    small) m=500 nonseq=500 cov=discrete nvar=200 ;;
    medium) m=2000 nonseq=6000 cov=discrete nvar=50 ;;
    large) m=5000 nonseq=15000 cov=discrete nvar=20 ;;
    continuous | c500) m=500 nonseq=500 cov=continuous nvar=20 ;;
    c1000) m=1000 nonseq=1000 cov=continuous nvar=6 ;;
    c2000) m=2000 nonseq=2000 cov=continuous nvar=2 ;;
    c4000) m=4000 nonseq=4000 cov=continuous nvar=1 ;;
    custom) m=${M:-500} nonseq=${NONSEQ:-500} k=${K:-3} cov=${COVARIATES:-discrete} nvar=20 ;;
    *)
      echo "Error: unknown size '$1'" >&2
      exit 1
      ;;
  esac
  [ -z "$variants_override" ] || nvar=$variants_override
}

covariate_flags() {
  case "$1" in
    discrete) echo "--discrete ${DISCRETE:-2,3} --continuous 0" ;;
    continuous) echo "--discrete none --continuous ${CONTINUOUS:-1}" ;;
    mixed) echo "--discrete ${DISCRETE:-2,3} --continuous ${CONTINUOUS:-1}" ;;
    none) echo "--discrete none --continuous 0" ;;
    *)
      echo "Error: COVARIATES must be discrete, continuous, mixed or none, not '$1'" >&2
      exit 1
      ;;
  esac
}

# The command line of an analysis on data set $1 writing into directory $2 (array `cmd`),
# and the file whose data rows count the units (`unit_file`).
analysis_command() {
  local data=$1 out=$2
  # Outputs by relative names: the run starts in the output directory, since the one-trait
  # analysis names its naive SKAT file "naive_" followed by the whole -SKAT argument.
  cmd=(-PHENO_SEQ "$data/pheno_seq.tab" -PHENO_NONSEQ "$data/pheno_nonseq.tab"
    -GENO "$data/geno.tab" -OUT_MLE mle.tab -OUT_NAIVE naive.tab -OUT_WARN warning.txt)
  unit_file=$out/mle.tab
  case "$analysis" in
    com) cmd=(-COM "${cmd[@]}") ;;
    score) cmd=(-COM_SCORE -TRAIT 1 "${cmd[@]}") ;;
    rare_all | rare_onetrait)
      local mode=-RARE_ALL
      [ "$analysis" = rare_all ] || mode="-RARE_ONETRAIT -TRAIT 1"
      # The naive SKAT file is "naive_" followed by the whole -SKAT argument, so the SKAT file
      # is named without a folder and the program runs in $out (run_once).
      local tests=() t
      IFS=, read -r -a tests <<<"${GENE_TESTS:-SKAT,T1,T5,MB}"
      for t in "${tests[@]}"; do cmd=("-$t" "$(tr 'A-Z' 'a-z' <<<"$t").tab" "${cmd[@]}"); done
      # shellcheck disable=SC2206
      cmd=($mode -MAP "$data/map.tab" "${cmd[@]}")
      ;;
  esac
}

to_seconds() {
  awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.3f", s }' <<<"$1"
}

# Runs build $1 on data $2 into $3; sets seconds, rss_mb, rc.
run_once() {
  local bin=$1/varnosta data=$2 out=$3
  rm -rf "$out" && mkdir -p "$out"
  analysis_command "$data" "$out"
  rc=0
  rss_mb=n/a
  if [ "$gnu_time" = 1 ]; then
    (cd "$out" && /usr/bin/time -v -o .time "$bin" "${cmd[@]}" >.stdout 2>.stderr) || rc=$?
    seconds=$(to_seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$out/.time")")
    local kb
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$out/.time")
    [ -z "$kb" ] || rss_mb=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
  else
    local TIMEFORMAT=%R t
    t=$(cd "$out" && { time "$bin" "${cmd[@]}" >.stdout 2>.stderr; } 2>&1) || rc=$?
    seconds=$(tail -n 1 <<<"$t")
  fi
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2];
  else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Compares the output files of two runs (directories $1, $2) field by field.
compare_outputs() {
  local a=$1 b=$2 verdict=identical f
  for f in "$a"/*; do
    local name
    name=$(basename "$f")
    if [ ! -f "$b/$name" ]; then
      echo "DIFFER: $name missing in B"
      return
    fi
    cmp -s "$f" "$b/$name" && continue
    local r
    r=$(awk -v FS='\t' '
      function num(s) { return s ~ /^[-+]?[0-9]\.[0-9]+e[-+][0-9]+$/ }
      function unit(s,   e) { e = substr(s, index(s, "e") + 1) + 0
        return 10 ^ (e - (index(s, "e") - index(s, ".") - 1)) }
      function abs(x) { return x < 0 ? -x : x }
      NR == FNR { want[FNR] = $0; nw = FNR; next }
      { ng = FNR
        if (!(FNR in want)) { bad = 1; next }
        n1 = split(want[FNR], x, "\t"); n2 = split($0, y, "\t")
        if (n1 != n2) { bad = 1; next }
        for (i = 1; i <= n1; i++) {
          if ((x[i] "") == (y[i] "")) continue
          if (num(x[i]) && num(y[i])) {
            u = unit(x[i]) > unit(y[i]) ? unit(x[i]) : unit(y[i])
            if (abs(x[i] - y[i]) <= u * 1.000001) { digit++; continue }
          }
          bad = 1
        }
      }
      END { if (ng != nw) bad = 1; print bad ? "DIFFER" : "last " digit + 0 }' "$f" "$b/$name")
    case "$r" in
      DIFFER)
        echo "DIFFER: $name"
        return
        ;;
      *) verdict="last digit" ;;
    esac
  done
  echo "$verdict"
}

if [ "$nb" = 2 ]; then
  printf '%-13s %-10s %6s %6s %5s %8s %8s %9s %8s %9s %7s  %s\n' analysis size m n-m units \
    A/s B/s B/A A_RSS_MB B_RSS_MB rounds outputs
else
  printf '%-13s %-10s %6s %6s %5s %9s %10s %10s  %s\n' analysis size m n-m units seconds \
    units/s peakRSS_MB status
fi

declare -A per_variant  # "analysis build" -> "m seconds-per-unit ..." for the series fit
per_gene=${PER_GENE:-5}
for size in "${size_list[@]}"; do
  size_params "$size"
  data=$work/data-$size
  # shellcheck disable=SC2046
  if ! "${builds[0]}/tools/simulate" --out "$data" --seed "$seed" --m "$m" --nonseq "$nonseq" \
    --traits "$k" --variants "$nvar" --per-gene "${per_gene%,*}" --min-mac 2 \
    $(covariate_flags "$cov") >"$work/simulate-$size.txt" 2>&1; then
    echo "Error: simulate failed for size $size:" >&2
    cat "$work/simulate-$size.txt" >&2
    exit 1
  fi
  if [ "${per_gene#*,}" != "$per_gene" ]; then
    # Genes of drawn sizes, each a run of variants in the order of the genotype table.
    lo=${per_gene%,*} hi=${per_gene#*,} rand=$seed sizes=()
    for ((g = 0; g < nvar; g++)); do
      rand=$(((rand * 1103515245 + 12345) % 2147483648))
      sizes+=($((lo + rand % (hi - lo + 1))))
    done
    awk -v sizes="${sizes[*]}" 'BEGIN { split(sizes, s, " "); g = 1; left = s[1] }
      { if (left == 0) { g++; left = s[g] } printf "G%04d\t%s\t%s\n", g, $2, $3; left-- }' \
      "$data/map.tab" >"$data/map_sized.tab"
    mv "$data/map_sized.tab" "$data/map.tab"
  fi
  for analysis in "${analysis_list[@]}"; do
    declare -a secs=() rss=() statuses=()
    for ((r = 1; r <= runs; r++)); do
      for ((bi = 0; bi < nb; bi++)); do
        out=$work/out-$size-$analysis-$bi
        run_once "${builds[$bi]}" "$data" "$out"
        status=ok
        if [ "$rc" -ne 0 ]; then
          if grep -q "not available" "$out/.stderr"; then
            status=absent
          else
            status="FAILED (exit $rc): $(tail -n 1 "$out/.stderr")"
          fi
        fi
        secs[bi]="${secs[bi]:-} $seconds"
        rss[bi]="${rss[bi]:-} $rss_mb"
        statuses[bi]=$status
      done
    done
    units=0
    for ((bi = 0; bi < nb; bi++)); do
      unit_rows=$work/out-$size-$analysis-$bi/mle.tab
      if [ "${statuses[bi]}" = ok ] && [ -f "$unit_rows" ]; then
        units=$(($(wc -l <"$unit_rows") - 1))
        break
      fi
    done
    rate=()
    peak=()
    for ((bi = 0; bi < nb; bi++)); do
      med=$(median <<<"${secs[bi]}")
      peak[bi]=$(tr ' ' '\n' <<<"${rss[bi]}" | grep -v '^$' | sort -g | tail -n 1)
      if [ "${statuses[bi]}" = ok ] && [ "$units" -gt 0 ]; then
        rate[bi]=$(awk -v u="$units" -v s="$med" 'BEGIN { printf "%.3g", (s > 0 ? u / s : 0) }')
        case "$size" in
          c[0-9]*) per_variant["$analysis $bi"]+="$m $(awk -v u="$units" -v s="$med" \
            'BEGIN { print s / u }') " ;;
        esac
      else
        rate[bi]=${statuses[bi]}
      fi
      secs_med[bi]=$med
    done
    if [ "$nb" = 2 ]; then
      ratio=n/a
      verdict="${statuses[1]}"
      if [ "${statuses[0]}" = ok ] && [ "${statuses[1]}" = ok ]; then
        ratio=$(awk -v a="${secs_med[0]}" -v b="${secs_med[1]}" \
          'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        verdict=$(compare_outputs "$work/out-$size-$analysis-0" "$work/out-$size-$analysis-1")
      fi
      printf '%-13s %-10s %6d %6d %5d %8s %8s %9s %8s %9s %7d  %s\n' "$analysis" "$size" "$m" \
        "$nonseq" "$units" "${rate[0]}" "${rate[1]}" "$ratio" "${peak[0]}" "${peak[1]}" "$runs" \
        "$verdict"
    else
      printf '%-13s %-10s %6d %6d %5d %9s %10s %10s  %s\n' "$analysis" "$size" "$m" "$nonseq" \
        "$units" "${secs_med[0]}" "${rate[0]}" "${peak[0]}" "${statuses[0]}"
    fi
  done
done

# Exponent of the per-unit cost in m over the continuous series: least-squares slope of
# log(seconds per unit) on log(m).
for key in "${!per_variant[@]}"; do
  read -r -a pts <<<"${per_variant[$key]}"
  series=()
  for ((i = 0; i < ${#pts[@]}; i += 2)); do series+=("${pts[i]}" "${pts[i + 1]}"); done
  fit=$(printf '%s %s\n' "${series[@]}" | awk '
    { x = log($1); y = log($2); n++; sx += x; sy += y; sxx += x * x; sxy += x * y }
    END { if (n >= 2) printf "%.2f over %d sizes", (n * sxy - sx * sy) / (n * sxx - sx * sx), n }')
  letter=A
  [ "${key#* }" = 0 ] || letter=B
  [ -z "$fit" ] || echo "exponent of the per-unit cost in m, ${key% *}, build $letter: $fit"
done
