#!/usr/bin/env bash
# Measures how far the printed p-values move when the traits are given on a smaller scale, or
# when a constant is added to the traits or to a covariate: each data set is run as it is
# (factor 1, offset 0) and with each factor or offset applied, and every printed p-value (Wald
# MLE and naive, score MLE and naive, one-trait genes MLE and naive, all-traits genes) is
# compared with that reference run. The analysis itself depends neither on the unit of the
# traits nor on a constant added to a trait or a covariate (the intercept takes it up), so every
# difference comes from where the fits stop or from round-off.
#
# varnosta refuses a trait whose standard deviation is below its bound, and a trait or a
# covariate whose mean is too many standard deviations from zero (unless -SCALE, which would
# undo the change): such runs show as refused. To measure beyond the bounds, point -b at a
# build of a revision without those checks.
#
# Usage: bench/trait_scale.sh [options]
# Options:
#   -b DIR    build directory holding varnosta and tools/simulate (default: build/ at the top of
#             the source tree)
#   -d LIST   data sets, comma-separated: "examples" (examples/) or simM_K_SEED, made by
#             tools/simulate with M sequenced and M non-sequenced subjects, K traits, that seed,
#             one discrete (2 levels) and one continuous covariate; simM_K_SEED_dL gives the
#             discrete covariate L levels (default examples,sim200_3_1,sim500_3_1,sim1000_3_1)
#   -m MODE   "scale" (default): multiply by the factors; "offset": add the offsets
#   -f LIST   factors or offsets, comma-separated (default 0.3,0.1,0.03,0.01,0.003,0.001,0.0001
#             for scale, 1e3,1e4,3e4,1e5,3e5,1e6 for offset)
#   -t T      the traits changed: "all" (default) or one trait number; the score and the
#             one-trait gene analyses test trait 1, or trait T when one trait is changed. The
#             all-traits SKAT sums the squared scores of the traits as they are, so it depends
#             on their relative scale by design: with one trait multiplied it is left out.
#   -c C      offset mode: add the offsets to covariate C (numbered from 1, in the order of the
#             columns after the traits) instead of the traits; it needs at least three distinct
#             values (examples: 2; simulated: 2, the continuous one, or with _dL, L >= 3, 1)
#   -v N      variants of a simulated data set (default 60, in genes of 5)
#   -k        keep the temporary directory with the data and the outputs
#
# Output: one row per data set and factor or offset: in scale mode the smallest standard
# deviation of a multiplied trait (sample standard deviation, divisor count - 1, over the
# observed values of all subjects, as -SCALE uses), in offset mode the largest |mean| / standard
# deviation of a shifted column (traits as above, a covariate over the sequenced subjects);
# then the number of p-values compared (those that are not NA in both runs), how many are NA in
# one run only, the worst relative error |p - p1| / p1 over the p-values p1 >= 1e-4 of the
# reference run and where it occurs (file,row,column), the worst relative error over all
# p-values, the worst relative error of -log10(p) over the p-values p1 < 1e-4, and the number of
# "does not converge" warnings.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

build=$repo/build
datasets=examples,sim200_3_1,sim500_3_1,sim1000_3_1
mode=scale
factors=
scaled=all
covariate=
nvar=60
keep=0
while getopts "b:d:m:f:t:c:v:kh" opt; do
  case "$opt" in
    b) build=$OPTARG ;;
    d) datasets=$OPTARG ;;
    m) mode=$OPTARG ;;
    f) factors=$OPTARG ;;
    t) scaled=$OPTARG ;;
    c) covariate=$OPTARG ;;
    v) nvar=$OPTARG ;;
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
varnosta=$build/varnosta
simulate=$build/tools/simulate
for exe in "$varnosta" "$simulate"; do
  [ -x "$exe" ] || {
    echo "Error: $exe not found; build first" >&2
    exit 1
  }
done
case "$scaled" in
  all) trait=1 ;;
  *[!0-9]* | '')
    echo "Error: -t takes all or a trait number" >&2
    exit 1
    ;;
  *) trait=$scaled ;;
esac
case "$mode" in
  scale)
    reference=1
    : "${factors:=0.3,0.1,0.03,0.01,0.003,0.001,0.0001}"
    if [ -n "$covariate" ]; then
      echo "Error: -c needs -m offset" >&2
      exit 1
    fi
    ;;
  offset)
    reference=0
    : "${factors:=1e3,1e4,3e4,1e5,3e5,1e6}"
    ;;
  *)
    echo "Error: -m takes scale or offset" >&2
    exit 1
    ;;
esac
case "$covariate" in
  '') ;;
  *[!0-9]* | 0)
    echo "Error: -c takes a covariate number, from 1" >&2
    exit 1
    ;;
  *) scaled=none ;;
esac
# The all-traits SKAT is compared unless the traits' relative scale changes.
skip_skat=$([ "$mode" = scale ] && [ "$scaled" != all ] && echo 1 || echo 0)

work=$(mktemp -d "${TMPDIR:-/tmp}/varnosta-scale.XXXXXX")
if [ "$keep" = 1 ]; then
  echo "Data and outputs kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# Writes the inputs of data set $1 into directory $2.
make_data() {
  mkdir -p "$2"
  case "$1" in
    examples) cp "$repo"/examples/*.tab "$2"/ ;;
    sim*_*_*)
      local spec=${1#sim} m k seed levels
      IFS=_ read -r m k seed levels <<<"$spec"
      levels=${levels#d}
      "$simulate" --out "$2" --seed "$seed" --m "$m" --nonseq "$m" --traits "$k" \
        --discrete "${levels:-2}" --variants "$nvar" --per-gene 5 >/dev/null
      ;;
    *)
      echo "Error: unknown data set '$1'" >&2
      exit 1
      ;;
  esac
}

# Multiplies the chosen traits of the tables in $1 by $3, or adds $3 to them or to the chosen
# covariate, into $2 (missing values kept); the genotypes and the map are linked.
scale_data() {
  mkdir -p "$2"
  ln -sf "$1/geno.tab" "$1/map.tab" "$2"/
  local f
  for f in pheno_seq pheno_nonseq; do
    awk -F'\t' -v OFS='\t' -v s="$3" -v K="$K" -v which="$scaled" -v mode="$mode" \
      -v cov="${covariate:-0}" -v header="$([ "$f" = pheno_seq ] && echo 1 || echo 0)" '
      NR == 1 && header { print; next }
      {
        for (k = 1; k <= K; k++)
          if ((which == "all" || which == k) && ($k + 999 > 1e-10 || $k + 999 < -1e-10))
            $k = sprintf("%.17g", mode == "offset" ? $k + s : $k * s)
        if (cov > 0 && header) $(K + cov) = sprintf("%.17g", $(K + cov) + s)
        print
      }' "$1/$f.tab" >"$2/$f.tab"
  done
}

# Scale mode: the smallest standard deviation over the chosen traits of the tables in $1;
# offset mode: the largest |mean| / standard deviation over the chosen traits, or that of the
# chosen covariate over the sequenced subjects.
spread() {
  awk -F'\t' -v K="$K" -v which="$scaled" -v mode="$mode" -v cov="${covariate:-0}" '
    FNR == 1 && FILENAME ~ /pheno_seq/ { next }
    cov > 0 {
      if (FILENAME ~ /pheno_seq/) { n[1]++; x[1, n[1]] = $(K + cov); s[1] += $(K + cov) }
      next
    }
    {
      for (k = 1; k <= K; k++)
        if ($k + 999 > 1e-10 || $k + 999 < -1e-10) { n[k]++; x[k, n[k]] = $k; s[k] += $k }
    }
    END {
      best = -1
      for (k = 1; k <= (cov > 0 ? 1 : K); k++) {
        if (cov == 0 && which != "all" && which != k) continue
        mean = s[k] / n[k]; ss = 0
        for (i = 1; i <= n[k]; i++) ss += (x[k, i] - mean) ^ 2
        sd = sqrt(ss / (n[k] - 1))
        v = mode == "offset" ? (mean < 0 ? -mean : mean) / sd : sd
        if (best < 0 || (mode == "offset" ? v > best : v < best)) best = v
      }
      printf "%.3g", best
    }' "$1/pheno_seq.tab" "$1/pheno_nonseq.tab"
}

# Runs the four analyses in directory $1; result tables named by analysis.
run_all() {
  (
    cd "$1"
    "$varnosta" -COM -OUT_MLE wald.mle -OUT_NAIVE wald.naive -OUT_WARN wald.warn
    "$varnosta" -COM_SCORE -TRAIT "$trait" -OUT_MLE score.mle -OUT_NAIVE score.naive \
      -OUT_WARN score.warn
    "$varnosta" -RARE_ONETRAIT -TRAIT "$trait" -OUT_MLE onetrait.mle -OUT_NAIVE onetrait.naive \
      -OUT_WARN onetrait.warn -SKAT o_skat -T1 o_t1 -T5 o_t5 -MB o_mb
    "$varnosta" -RARE_ALL -OUT_MLE all.mle -OUT_WARN all.warn -SKAT a_skat -T1 a_t1 -T5 a_t5 \
      -MB a_mb
  ) >"$1/console" 2>&1 || echo "status $?" >>"$1/console"
}

# Compares every *_PVAL field of the result tables of $2 with those of $1 (the reference).
# Prints: p-values compared, NA in one run only, the worst relative error over the reference
# p-values from 1e-4 up and where it occurs, the worst relative error over all, and, for the
# reference p-values below 1e-4, the worst relative error of -log10(p): there a relative change
# of p follows from a tiny change of the statistic (at 1e-10 a 1 % change of p is a 0.05 %
# change of the chi-square), so that scale says more.
compare() {
  local f
  for f in wald.mle wald.naive score.mle score.naive onetrait.mle onetrait.naive all.mle; do
    [ -f "$1/$f" ] && [ -f "$2/$f" ] || {
      echo "missing $f"
      return
    }
    paste "$1/$f" "$2/$f" | awk -F'\t' -v file="$f" -v skip_skat="$skip_skat" '
      { half = NF / 2 }
      NR == 1 {
        for (j = 1; j <= half; j++)
          if ($j ~ /_PVAL$/ && !(skip_skat && file == "all.mle" && $j == "SKAT_PVAL"))
            col[j] = $j
        next
      }
      {
        for (j in col) {
          a = $j; b = $(j + half)
          if (a == "NA" && b == "NA") continue
          if (a == "NA" || b == "NA") { print "NA", file "," $1 "," col[j]; continue }
          r = a > 0 ? (b - a) / a : (b == a ? 0 : 1)
          if (r < 0) r = -r
          l = 0
          if (a < 1e-4) { l = b > 0 ? (log(b) - log(a)) / log(a) : 1; if (l < 0) l = -l }
          print r, file "," $1 "," col[j], a, l
        }
      }'
  done | awk '
    $1 == "NA" { na++; next }
    { n++
      if ($1 > worst_all) worst_all = $1
      if ($3 >= 1e-4 && $1 > worst) { worst = $1; where = $2 }
      if ($3 < 1e-4 && $4 > worst_log) worst_log = $4 }
    END { printf "%d\t%d\t%.3g\t%s\t%.3g\t%.3g", n, na, worst, (where == "" ? "-" : where),
          worst_all, worst_log }'
}

changed=$([ -n "$covariate" ] && echo "covariate $covariate" || echo "$scaled")
printf 'data\tK\tm\tchanged\t%s\t%s\tcompared\tNA_one\tworst_rel\twhere\tworst_rel_all' \
  "$([ "$mode" = offset ] && echo offset || echo factor)" \
  "$([ "$mode" = offset ] && echo 'mean/sd' || echo min_sd)"
printf '\tworst_rel_log_p<1e-4\tnonconv\n'
IFS=, read -r -a dataset_list <<<"$datasets"
IFS=, read -r -a factor_list <<<"$factors"
for d in "${dataset_list[@]}"; do
  base=$work/$d/data
  make_data "$d" "$base"
  K=$(awk -F'\t' 'NR == 1 { print NF; exit }' "$base/pheno_nonseq.tab")
  m=$(($(wc -l <"$base/pheno_seq.tab") - 1))
  if [ -n "$covariate" ]; then
    awk -F'\t' -v c=$((K + covariate)) 'NR > 1 && !seen[$c]++ { n++ } END { exit !(n >= 3) }' \
      "$base/pheno_seq.tab" || {
      echo "Error: $d has no covariate $covariate with at least three distinct values" >&2
      exit 1
    }
  fi
  ref=$work/$d/r
  scale_data "$base" "$ref" "$reference"
  run_all "$ref"
  for s in "${factor_list[@]}"; do
    dir=$work/$d/f$s
    scale_data "$base" "$dir" "$s"
    run_all "$dir"
    if grep -q '^status' "$dir/console"; then
      printf '%s\t%s\t%s\t%s\t%s\t%s\trefused: %s\n' "$d" "$K" "$m" "$changed" "$s" \
        "$(spread "$dir")" "$(grep -m1 '^Error' "$dir/console" || grep -m1 '^status' "$dir/console")"
      continue
    fi
    nonconv=$(cat "$dir"/*.warn | awk '{ n += gsub(/does not converge/, "") } END { print n + 0 }')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$d" "$K" "$m" "$changed" "$s" \
      "$(spread "$dir")" "$(compare "$ref" "$dir")" "$nonconv"
  done
done
