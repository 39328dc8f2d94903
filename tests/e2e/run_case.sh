#!/usr/bin/env bash
# Runs one end-to-end case of the real binary and compares what it left with expected/.
#
#   run_case.sh BINARY CASE_DIR WORK_DIR
#
# CASE_DIR/args       one command-line argument per line (may be absent: no arguments)
# CASE_DIR/inputs/    copied into WORK_DIR, where the binary runs
# CASE_DIR/expected/  status (exit status, default 0); stdout and stderr (exact, with the
#                     start and finish stamps masked); stderr_has (each line must occur in
#                     stderr); files/NAME (WORK_DIR/NAME must match: numbers field by field to
#                     a relative 1e-6, i.e. the last printed digit, everything else exactly);
#                     absent (one file name per line that must not exist afterwards);
#                     untouched (one file name per line: WORK_DIR/NAME must still be byte for
#                     byte CASE_DIR/inputs/NAME, an input or the output of an earlier run).
#                     last_digit (present: numbers in scientific form may differ by one unit
#                     of their last printed digit, no more).
# With VARNOSTA_E2E_UPDATE=1 the actual outputs are written beside the expected ones as
# *.new and the differences shown; expected files are never overwritten.
set -u
bin=$1 case_dir=$2 work=$3
exp=$case_dir/expected
update=${VARNOSTA_E2E_UPDATE:-0}
rm -rf "$work" && mkdir -p "$work"
[ -d "$case_dir/inputs" ] && cp -r "$case_dir/inputs/." "$work/"
args=()
[ -f "$case_dir/args" ] && mapfile -t args <"$case_dir/args"

want_status=0
[ -f "$exp/status" ] && want_status=$(cat "$exp/status")
# An orderly stop ends the process at once and leaves its arrays to the system, by design;
# the leak checker of a sanitizer build would report them and change the exit status.
if [ "$want_status" != 0 ]; then
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
fi
(cd "$work" && "$bin" "${args[@]}" >"$work/.stdout" 2>"$work/.stderr")
status=$?
failed=0
fail() { echo "FAIL: $*"; failed=1; }
mask() { sed -E 's/^Varnosta (started|finished) at .*/Varnosta \1 at <time>/' "$1"; }

[ "$status" = "$want_status" ] || fail "exit status $status, expected $want_status"

compare_text() {  # name expected actual-masked-file
  if [ "$update" = 1 ]; then cp "$3" "$2.new"; fi
  diff -u "$2" "$3" >"$work/.diff" || { fail "$1 differs:"; cat "$work/.diff"; }
}
for stream in stdout stderr; do
  if [ -f "$exp/$stream" ]; then
    mask "$work/.$stream" >"$work/.$stream.masked"
    compare_text "$stream" "$exp/$stream" "$work/.$stream.masked"
  fi
done
if [ -f "$exp/stderr_has" ]; then
  while IFS= read -r want; do
    grep -qF -- "$want" "$work/.stderr" || fail "stderr lacks: $want"
  done <"$exp/stderr_has"
fi

# Numbers compare to a relative 1e-6 (one unit in the sixth decimal of the printed mantissa),
# or with expected/last_digit to one unit of the last printed digit, and must be printed in the
# same form; text, NA placement, field and line counts exactly.
last_digit=0
[ -f "$exp/last_digit" ] && last_digit=1
numeric_diff() {
  awk -v FS='\t' -v last_digit="$last_digit" '
    function isnum(s) { return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ }
    # One unit of the last printed digit of a number in scientific form.
    function unit(s,   e, d) {
      e = index(s, "e"); d = index(s, ".")
      return 10 ^ (substr(s, e + 1) - (d ? e - d - 1 : 0))
    }
    function abs(x) { return x < 0 ? -x : x }
    # The printed form: digits and exponent signs masked, so 9.999999e-01 and 1.000000e+00
    # have one shape while 0.5 and 5.000000e-01 do not.
    function shape(s) { gsub(/[0-9]/, "d", s); gsub(/[-+]/, "s", s); return s }
    NR == FNR { want[FNR] = $0; nwant = FNR; next }
    {
      ngot = FNR
      if (!(FNR in want)) { printf "line %d: unexpected: %s\n", FNR, $0; bad = 1; next }
      nw = split(want[FNR], w, "\t"); ng = split($0, g, "\t")
      if (nw != ng) { printf "line %d: %d fields, expected %d\n", FNR, ng, nw; bad = 1; next }
      for (i = 1; i <= nw; i++) {
        # Compared as text: fields from split() that look numeric would compare as numbers.
        if ((w[i] "") == (g[i] "")) continue
        if (isnum(w[i]) && isnum(g[i]) && shape(w[i]) == shape(g[i])) {
          a = w[i] + 0; b = g[i] + 0; s = abs(a) > abs(b) ? abs(a) : abs(b)
          if (last_digit && w[i] ~ /e/) {
            u = unit(w[i]) > unit(g[i]) ? unit(w[i]) : unit(g[i])
            if (abs(a - b) <= u * (1 + 1e-9)) continue
          } else if (abs(a - b) <= 1e-6 * s) continue
        }
        printf "line %d field %d: %s, expected %s\n", FNR, i, g[i], w[i]; bad = 1
      }
    }
    END {
      if (ngot != nwant) { printf "%d lines, expected %d\n", ngot, nwant; bad = 1 }
      exit bad
    }' "$1" "$2"
}
if [ -d "$exp/files" ]; then
  for want in "$exp"/files/*; do
    [ -f "$want" ] || continue
    case "$want" in *.new) continue ;; esac
    name=$(basename "$want")
    got=$work/$name
    if [ ! -f "$got" ]; then fail "missing output file $name"; continue; fi
    [ "$update" = 1 ] && cp "$got" "$want.new"
    numeric_diff "$want" "$got" >"$work/.diff" || { fail "$name differs:"; head -n 20 "$work/.diff"; }
  done
fi
if [ -f "$exp/absent" ]; then
  while IFS= read -r name; do
    [ -n "$name" ] && [ -e "$work/$name" ] && fail "file $name should not exist"
  done <"$exp/absent"
fi
if [ -f "$exp/untouched" ]; then
  while IFS= read -r name; do
    [ -n "$name" ] && ! cmp -s "$case_dir/inputs/$name" "$work/$name" && fail "file $name was changed"
  done <"$exp/untouched"
fi

if [ "$failed" = 1 ]; then
  echo "--- stdout ---"; head -n 40 "$work/.stdout"; echo "--- stderr ---"; head -n 20 "$work/.stderr"
  exit 1
fi
echo "ok"
