#!/usr/bin/env bash
# Output files that cannot be written, and outputs on character devices, on the example data:
#
#   output_errors.sh BINARY SOURCE_DIR WORK_DIR CASE
#
# CASE com, com_score, rare_onetrait or rare_all: each output of the analysis in turn is
#   /dev/full; the run must stop with status 1 and "Error: Cannot write <file>: No space left on
#   device", and must not print its finish line.
# CASE devices: outputs that share /dev/null run to completion, with the same MLE table as a
#   run with every output a file of its own.
# CASE full_disk: the outputs on a file system of 16 kB that fills during the run (needs the
#   right to mount a tmpfs; skipped with status 77 otherwise).
set -u
bin=$1 src=$2 work=$3 case=$4
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# A file system left mounted by an interrupted full_disk run.
mountpoint -q "$work/disk" 2>/dev/null && umount "$work/disk"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 2
cp "$src"/examples/*.tab .

# run NAME ARGS...: the binary in the work folder, its streams in NAME.out, NAME.err.
run() {
  local name=$1
  shift
  "$bin" "$@" >"$name.out" 2>"$name.err"
  echo $? >"$name.status"
}

# stops NAME FILE ARGS...: the run must stop on the failed write to FILE (an extended regular
# expression).
stops() {
  local name=$1 file=$2
  shift 2
  # An orderly stop leaves its arrays to the system; the leak checker of a sanitizer build
  # would report them and change the exit status.
  local ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
  export ASAN_OPTIONS
  run "$name" "$@"
  [ "$(cat "$name.status")" = 1 ] || fail "$name: status $(cat "$name.status"), expected 1"
  grep -qxE "Error: Cannot write ($file): No space left on device" "$name.err" ||
    fail "$name: no message for $file; stderr: $(head -c 400 "$name.err")"
  [ "$(tail -n 1 "$name.err")" = "Program was stopped due to error(s) listed above." ] ||
    fail "$name: stderr does not end with the stop line"
  ! grep -q "finished" "$name.out" || fail "$name: the finish line was printed"
}

gene_tests=(-MAP map.tab -SKAT skat.tab -T1 t1.tab -T5 t5.tab -MB mb.tab)
case $case in
  com | com_score)
    mode=()
    [ "$case" = com_score ] && mode=(-COM_SCORE -TRAIT 2)
    for option in -OUT_MLE -OUT_NAIVE -OUT_WARN; do
      stops "$case$option" /dev/full "${mode[@]}" "$option" /dev/full
    done
    ;;
  rare_onetrait | rare_all)
    mode=(-RARE_ALL)
    outputs=(-OUT_MLE -OUT_WARN -SKAT -T1 -T5 -MB)
    if [ "$case" = rare_onetrait ]; then
      mode=(-RARE_ONETRAIT -TRAIT 2)
      outputs+=(-OUT_NAIVE)
      # The naive SKAT file is "naive_" + the -SKAT value: for -SKAT /dev/full a file under
      # the folder naive_/dev, and a link to /dev/full for its own case.
      mkdir -p naive_/dev && ln -s /dev/null naive_/dev/full
      ln -s /dev/full naive_skat_full
      stops "$case-naive_skat" naive_skat_full "${mode[@]}" "${gene_tests[@]}" -SKAT skat_full
    fi
    for option in "${outputs[@]}"; do
      stops "$case$option" /dev/full "${mode[@]}" "${gene_tests[@]}" "$option" /dev/full
    done
    ;;
  devices)
    run files -OUT_MLE files.tab
    run devices -OUT_NAIVE /dev/null -OUT_WARN /dev/null -OUT_MLE devices.tab
    run gene_files -RARE_ALL "${gene_tests[@]}" -OUT_MLE gene_files.tab
    run gene_devices -RARE_ALL -MAP map.tab -SKAT /dev/null -T1 /dev/null -T5 /dev/null \
      -MB /dev/null -OUT_WARN /dev/null -OUT_MLE gene_devices.tab
    for name in devices gene_devices; do
      [ "$(cat $name.status)" = 0 ] || fail "$name: status $(cat $name.status); $(cat $name.err)"
      grep -q "finished" $name.out || fail "$name: no finish line"
    done
    { [ -s files.tab ] && cmp -s files.tab devices.tab; } ||
      fail "devices: the MLE table differs from the run with files"
    { [ -s gene_files.tab ] && cmp -s gene_files.tab gene_devices.tab; } ||
      fail "gene devices: the gene-level table differs from the run with files"
    ;;
  full_disk)
    # The example's Wald tables take about 19 kB, its SKAT file 80 kB; a tmpfs is sized in
    # pages, so 16 kB holds only with pages of 4 kB.
    mkdir disk
    if [ "$(getconf PAGESIZE)" != 4096 ] || ! mount -t tmpfs -o size=16k tmpfs disk 2>/dev/null; then
      echo "cannot mount a tmpfs of 16 kB here: skipped"
      exit 77
    fi
    trap 'umount disk' EXIT
    # Which of the three tables finds the disk full depends on the file system's allocation.
    stops full_com 'disk/mle\.tab|disk/naive\.tab|disk/warning\.txt' -OUT_MLE disk/mle.tab \
      -OUT_NAIVE disk/naive.tab -OUT_WARN disk/warning.txt
    rm -f disk/*
    stops full_rare_all 'disk/(skat|t1|mle)\.tab|disk/warning\.txt' -RARE_ALL -MAP map.tab \
      -SKAT disk/skat.tab -T1 disk/t1.tab -OUT_MLE disk/mle.tab -OUT_WARN disk/warning.txt
    ;;
  *) echo "unknown case $case" && exit 2 ;;
esac

[ $failed = 0 ] && echo "PASS: $case"
exit $failed
