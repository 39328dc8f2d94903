#!/usr/bin/env bash
# Metamorphic tests on the example data (examples/):
#
#   metamorphic.sh BINARY SOURCE_DIR WORK_DIR CASE
#
# CASE com, com_score, rare_all or rare_onetrait names an analysis, which must give
#   - through scripts/chunked_run.sh with three chunks (run by GNU parallel, and run one by
#     one from the printed commands, in reverse order, then joined), files byte-identical to
#     the whole run's, and no other file;
#   - with the non-sequenced subjects in another order, the same results to the accuracy of
#     the fit (see within_fit_accuracy).
# CASE failing_chunk: a chunk that fails, or one that never ran, makes the runner exit with
# status 1 naming that chunk, and leaves no joined table.
set -u
bin=$1 src=$2 work=$3 case=$4
runner=$src/scripts/chunked_run.sh
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Output paths with blanks, and the naive SKAT file ("naive_" in front of the whole -SKAT
# value) in a folder of its own.
gene_tests=(-MAP map.tab -SKAT "res dir/skat.tab" -T1 t1.tab -T5 t5.tab -MB "res dir/mb.tab")
case $case in
  com) args=(-OUT_MLE "res dir/mle.tab") ;;
  com_score) args=(-COM_SCORE -TRAIT 2) ;;
  rare_all) args=(-RARE_ALL "${gene_tests[@]}") ;;
  rare_onetrait) args=(-RARE_ONETRAIT -TRAIT 3 "${gene_tests[@]}") ;;
  failing_chunk) args=() ;;
  *) echo "unknown case $case" && exit 2 ;;
esac

# A fresh folder with the example tables under their default names. For rare_all the map
# and the genotype table begin with a byte order mark, which the program skips; for
# rare_onetrait the last gene also lists the first variant of the first, so that two chunks
# share a variant.
setup() {
  rm -rf "$1" && mkdir -p "$1/res dir" "$1/naive_res dir"
  cp "$src"/examples/*.tab "$1/"
  if [ "$case" = rare_all ]; then
    printf '\xEF\xBB\xBF' | cat - "$src/examples/map.tab" >"$1/map.tab"
    printf '\xEF\xBB\xBF' | cat - "$src/examples/geno.tab" >"$1/geno.tab"
  elif [ "$case" = rare_onetrait ]; then
    printf 'GENE12\t1:1797485\t0.150000\n' >>"$1/map.tab"
  fi
}
# The files of a folder other than the example tables, with their paths.
outputs() {
  (cd "$1" && find . -type f | grep -vxE '\./(geno|map|pheno_nonseq|pheno_seq)\.tab' | LC_ALL=C sort)
}
# The fit stops when the L1 distance between successive iterates of all its parameters
# (coefficients, covariances, masses) falls below 1e-4. Another order of the non-sequenced
# subjects changes only the order of summation, that is the iterates by rounding (about
# 1e-15 relative); the two fits can then end one iteration apart only when their last
# distance lies within rounding of 1e-4, and that one further iteration moves every
# parameter by less than 1e-4. Standard errors, statistics and p-values are smooth functions
# of the parameters: on these data (traits of unit scale, standard errors above 0.1) they
# move by less than 1e-3 of their size. Hence |a - b| <= 1e-4 + 1e-3 max(|a|, |b|); text,
# NA, counts of lines and fields must match exactly.
within_fit_accuracy() {
  awk -v FS='\t' '
    function isnum(s) { return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ }
    function abs(x) { return x < 0 ? -x : x }
    NR == FNR { want[FNR] = $0; nwant = FNR; next }
    {
      ngot = FNR
      nw = split(want[FNR], w, "\t"); ng = split($0, g, "\t")
      if (nw != ng) { printf "line %d: %d fields, expected %d\n", FNR, ng, nw; bad = 1; next }
      for (i = 1; i <= nw; i++) {
        if ((w[i] "") == (g[i] "")) continue
        if (isnum(w[i]) && isnum(g[i])) {
          a = w[i] + 0; b = g[i] + 0
          if (abs(a - b) <= 1e-4 + 1e-3 * (abs(a) > abs(b) ? abs(a) : abs(b))) continue
        }
        printf "line %d field %d: %s, expected %s\n", FNR, i, g[i], w[i]; bad = 1
      }
    }
    END {
      if (ngot != nwant) { printf "%d lines, expected %d\n", ngot, nwant; bad = 1 }
      exit bad
    }' "$1" "$2"
}
# Compares the outputs of folder $2 with those of the whole run in $1: byte for byte, or
# with the comparison $3.
compare() {
  local whole=$1 other=$2 how=${3:-cmp} f
  [ "$(outputs "$whole")" = "$(outputs "$other")" ] ||
    fail "$other: files $(outputs "$other" | tr '\n' ' '), expected $(outputs "$whole" | tr '\n' ' ')"
  while IFS= read -r f; do
    [ -f "$other/$f" ] || continue
    if [ "$how" = cmp ]; then
      cmp "$whole/$f" "$other/$f" || fail "$other/$f differs from the whole run's"
    else
      within_fit_accuracy "$whole/$f" "$other/$f" || fail "$other/$f differs beyond the fit's accuracy"
    fi
  done < <(outputs "$whole")
}

if [ "$case" = failing_chunk ]; then
  # Line 30 of 60 lies in chunk 2 of 3; its fifth field is not a genotype.
  setup "$work/run"
  awk -v OFS='\t' 'NR == 30 { $5 = "x" } 1' "$src/examples/geno.tab" >"$work/run/geno.tab"
  echo stale >"$work/run/mle.tab"
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
  (cd "$work/run" && "$runner" --chunks 3 --bin "$bin" >"$work/out" 2>"$work/err")
  status=$?
  [ "$status" = 1 ] || fail "runner exit status $status, expected 1"
  grep -q '^Error: chunk 2 of 3 (lines 21-40 of geno.tab) failed with status 1' "$work/err" ||
    fail "the failed chunk is not named"
  grep -q 'line 10: field 5 ("x") is not a number' "$work/err" || fail "the chunk's error is not shown"
  grep -q '^Error: chunk [13]' "$work/err" && fail "a chunk that succeeded is reported as failed"

  # Prepared for a job array, chunk 3 never ran.
  setup "$work/array"
  (cd "$work/array" && "$runner" --chunks 3 --bin "$bin" --print >cmds 2>/dev/null &&
    head -n 2 cmds | bash && "$runner" --chunks 3 --bin "$bin" --join >"$work/out" 2>"$work/err2")
  status=$?
  [ "$status" = 1 ] || fail "join exit status $status, expected 1"
  grep -qx 'Error: chunk 3 of 3 (lines 41-60 of geno.tab) never ran' "$work/err2" ||
    fail "the chunk that never ran is not named as such"
  grep -q 'console\.log' "$work/err2" && fail "a console.log is named for a chunk that never ran"
  # A chunk that started (its console.log exists) but left no status did not finish.
  : >"$work/array/mle.tab.chunks/chunk_003/console.log"
  (cd "$work/array" && "$runner" --chunks 3 --bin "$bin" --join >"$work/out" 2>"$work/err3")
  grep -q '^Error: chunk 3 of 3 (lines 41-60 of geno.tab) did not finish; see .*/chunk_003/console.log$' \
    "$work/err3" || fail "the chunk that did not finish is not named as such"
  for d in run array; do
    [ -z "$(outputs "$work/$d" | grep -v -e '^\./mle\.tab\.chunks/' -e '^\./cmds$')" ] ||
      fail "$d: a joined file was left: $(outputs "$work/$d" | tr '\n' ' ')"
  done
  [ "$failed" = 0 ] && echo ok || { cat "$work/err" "$work/err2" "$work/err3"; exit 1; }
  exit
fi

setup "$work/whole"
(cd "$work/whole" && "$bin" "${args[@]}" >"$work/whole.out" 2>&1)
status=$?
[ "$status" = 0 ] || { cat "$work/whole.out" && fail "whole run: exit status $status" && exit 1; }
[ -n "$(outputs "$work/whole")" ] || fail "the whole run wrote nothing"

setup "$work/parallel"
(cd "$work/parallel" && "$runner" --chunks 3 --jobs 3 --bin "$bin" -- "${args[@]}" 2>"$work/err") ||
  { cat "$work/err" && fail "chunked run failed"; }
compare "$work/whole" "$work/parallel"

setup "$work/array"
(cd "$work/array" && "$runner" --chunks 3 --bin "$bin" --print "${args[@]}" 2>"$work/err" >../cmds &&
  tac ../cmds | while IFS= read -r line; do bash -c "$line"; done &&
  "$runner" --chunks 3 --bin "$bin" --join "${args[@]}" 2>>"$work/err") ||
  { cat "$work/err" && fail "printed commands and join failed"; }
[ "$(wc -l <"$work/cmds")" = 3 ] || fail "$(wc -l <"$work/cmds") commands printed, expected 3"
compare "$work/whole" "$work/array"

setup "$work/reordered"
tac "$src/examples/pheno_nonseq.tab" >"$work/reordered/pheno_nonseq.tab"
(cd "$work/reordered" && "$bin" "${args[@]}" >/dev/null 2>&1) || fail "reordered run failed"
compare "$work/whole" "$work/reordered" within_fit_accuracy

[ "$failed" = 0 ] && echo ok || exit 1
