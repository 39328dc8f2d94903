#!/usr/bin/env bash
# Runs one varnosta analysis as chunks, in parallel, and joins the chunks' tables into the
# files that the whole run would have written, byte for byte.
#
#   scripts/chunked_run.sh [--chunks N] [--jobs J] [--dir DIR] [--bin PROGRAM]
#                          [--print | --join] [--] VARNOSTA_OPTIONS...
#
#   --chunks N   number of chunks (default: the number of processors); fewer when the data
#                do not fill N (fewer variants, or fewer genes with usable variants)
#   --jobs J     chunks run at once by GNU parallel (default: one per processor)
#   --dir DIR    work folder for the chunks (default: the -OUT_MLE file name + ".chunks");
#                removed after a successful join, kept when a chunk fails
#   --bin PATH   the program (default: build/varnosta of this source tree, else varnosta on
#                the PATH)
#   --print      cut the run and print the chunk commands, one bash line per chunk, instead
#                of running them (for a job array of a batch system or any other scheduler)
#   --join       join the chunks of an earlier --print once all of them have run; give the
#                same options as to --print
#
# Single-variant analyses (-COM, -COM_SCORE) are cut into runs of whole lines of the genotype
# table. Gene-based analyses (-RARE_ALL, -RARE_ONETRAIT) are cut into contiguous ranges of the
# gene names in byte order, the order of their result tables; see split_by_genes.
#
# Each chunk runs in its own folder, DIR/chunk_NNN, and writes its console to console.log
# there and its exit status to status. The joined tables get one header, from the first
# chunk. The joined files appear only when every chunk ended with status 0; otherwise the
# script names the failed chunks, writes no joined file and exits with status 1. Files of an
# earlier run under the names of the joined files are removed when the chunks are cut.
set -euo pipefail

die() {
  echo "Error: $*" >&2
  exit 1
}
note() { echo "$*" >&2; }

# Runner options.
chunks=$(nproc 2>/dev/null || echo 1)
jobs=
dir=
bin=
action=run
while [ $# -gt 0 ]; do
  case $1 in
    --chunks | --jobs | --dir | --bin)
      [ $# -ge 2 ] || die "$1 needs a value"
      case $1 in
        --chunks) chunks=$2 ;;
        --jobs) jobs=$2 ;;
        --dir) dir=$2 ;;
        --bin) bin=$2 ;;
      esac
      shift 2
      ;;
    --print) action='print' && shift ;;
    --join) action='join' && shift ;;
    --help)
      sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"
      exit 0
      ;;
    --) shift && break ;;
    *) break ;;
  esac
done
[[ $chunks =~ ^[1-9][0-9]*$ ]] || die "--chunks needs a positive whole number, not '$chunks'"
[ -z "$jobs" ] || [[ $jobs =~ ^[1-9][0-9]*$ ]] || die "--jobs needs a positive whole number"

# The program's options, read as the program reads them: exact names, each value the next
# argument whatever it looks like, the last occurrence winning. The file options are kept
# aside (they are rewritten for the chunks); everything else is passed on unchanged, in order.
pheno_seq=pheno_seq.tab pheno_nonseq=pheno_nonseq.tab geno=geno.tab map=map.tab map_given=0
out_mle=mle.tab out_naive=naive.tab out_warn=warning.txt
declare -A test_file=()
mode=0
pass=()
while [ $# -gt 0 ]; do
  opt=$1
  shift
  case $opt in
    -PHENO_SEQ | -PHENO_NONSEQ | -GENO | -MAP | -OUT_MLE | -OUT_NAIVE | -OUT_WARN | -MAC_LB | \
      -MAF_LB | -MAF_UB | -SNP_MAC_LB | -TRAIT | -MODEL | -SKAT | -T1 | -T5 | -MB)
      [ $# -gt 0 ] || die "the option $opt needs a value"
      value=$1
      shift
      case $opt in
        -PHENO_SEQ) pheno_seq=$value ;;
        -PHENO_NONSEQ) pheno_nonseq=$value ;;
        -GENO) geno=$value ;;
        -MAP) map=$value map_given=1 ;;
        -OUT_MLE) out_mle=$value ;;
        -OUT_NAIVE) out_naive=$value ;;
        -OUT_WARN) out_warn=$value ;;
        -SKAT | -T1 | -T5 | -MB) test_file[$opt]=$value ;;
        *) pass+=("$opt" "$value") ;;
      esac
      ;;
    -COM) mode=0 && pass+=("$opt") ;;
    -COM_SCORE) mode=1 && pass+=("$opt") ;;
    -RARE_ONETRAIT) mode=2 && pass+=("$opt") ;;
    -RARE_ALL) mode=3 && pass+=("$opt") ;;
    -SCALE) pass+=("$opt") ;;
    *) die "Unknown command line option $opt" ;;
  esac
done
gene_based=0
[ "$mode" -ge 2 ] && gene_based=1

# The files a whole run writes: final name, the chunk's own name for it, and whether the
# table has a header line. The chunks run inside their folders, so that the naive SKAT file
# ("naive_" in front of the whole -SKAT value) lands there too.
finals=() locals=() headers=()
add_output() { finals+=("$1") locals+=("$2") headers+=("$3"); }
if [ "$gene_based" = 0 ]; then
  add_output "$out_mle" mle.tab 1
  add_output "$out_naive" naive.tab 1
  add_output "$out_warn" warning.txt 0
elif [ ${#test_file[@]} -gt 0 ]; then
  # A gene-based run without a test writes nothing.
  if [ -n "${test_file[-SKAT]+set}" ]; then
    add_output "${test_file[-SKAT]}" skat.tab 0
    [ "$mode" = 2 ] && add_output "naive_${test_file[-SKAT]}" naive_skat.tab 0
  fi
  [ -n "${test_file[-T1]+set}" ] && add_output "${test_file[-T1]}" t1.tab 0
  [ -n "${test_file[-T5]+set}" ] && add_output "${test_file[-T5]}" t5.tab 0
  [ -n "${test_file[-MB]+set}" ] && add_output "${test_file[-MB]}" mb.tab 0
  add_output "$out_mle" mle.tab 1
  [ "$mode" = 2 ] && add_output "$out_naive" naive.tab 1
  add_output "$out_warn" warning.txt 0
fi

absolute() { if [[ $1 == /* ]]; then REPLY=$1; else REPLY=$PWD/$1; fi; }

if [ -z "$bin" ]; then
  bin=$(cd "$(dirname "$0")/.." && pwd)/build/varnosta
  [ -x "$bin" ] || bin=$(command -v varnosta) || die "no varnosta program found; give --bin"
elif [[ $bin != */* ]]; then
  bin=$(command -v "$bin") || die "the program '$bin' is not on the PATH"
fi
absolute "$bin" && bin=$REPLY
[ -x "$bin" ] || die "$bin is not an executable program"
[ -n "$dir" ] || dir=$out_mle.chunks
absolute "$dir" && dir=$REPLY

# Gene-based runs without a test read neither the map nor the genotype lines: one chunk.
split_genes=0
[ "$gene_based" = 1 ] && [ ${#test_file[@]} -gt 0 ] && split_genes=1

# The command of chunk i, one bash line: run in the chunk's folder, console to console.log,
# exit status to status (removed first, so that a chunk killed half-way leaves none).
chunk_name() { printf "chunk_%0${width}d" "$1"; }
chunk_command() {
  local folder args=("${pass[@]}")
  folder=$dir/$(chunk_name "$1")
  absolute "$pheno_seq" && args+=(-PHENO_SEQ "$REPLY")
  absolute "$pheno_nonseq" && args+=(-PHENO_NONSEQ "$REPLY")
  if [ "$gene_based" = 0 ] || [ "$split_genes" = 1 ]; then
    args+=(-GENO geno.tab)
  else
    absolute "$geno" && args+=(-GENO "$REPLY")
  fi
  if [ "$split_genes" = 1 ]; then
    args+=(-MAP map.tab)
  elif [ "$gene_based" = 1 ] || [ "$map_given" = 1 ]; then
    absolute "$map" && args+=(-MAP "$REPLY")
  fi
  args+=(-OUT_MLE mle.tab -OUT_NAIVE naive.tab -OUT_WARN warning.txt)
  local t
  for t in -SKAT -T1 -T5 -MB; do
    if [ -n "${test_file[$t]+set}" ]; then
      local name=${t#-}
      args+=("$t" "${name,,}.tab")
    fi
  done
  local line word
  line="cd $(printf '%q' "$folder") && rm -f status && { $(printf '%q' "$bin")"
  for word in "${args[@]}"; do
    line+=" $(printf '%q' "$word")"
  done
  line+=' >console.log 2>&1; s=$?; echo $s >status; (exit $s); }'
  printf '%s\n' "$line"
}

# Both splits drop a byte order mark at the start of a table, as the program does, so that
# it neither ends up inside a chunk's table nor becomes part of a name.
#
# Cuts the genotype table into contiguous runs of lines. Blank lines stay in front of the
# next line with content, so that a blank line inside the table stays inside a chunk's
# table (where the program refuses it) and trailing blank lines stay at the end.
split_by_lines() {
  local records
  records=$(LC_ALL=C grep -c '[^[:space:]]' -- "$geno" || true)
  n_chunks=$((records < chunks ? records : chunks))
  [ "$n_chunks" -ge 1 ] || n_chunks=1
  make_folders
  chunks_dir=$dir file_name=$geno LC_ALL=C awk -v n="$n_chunks" -v total="$records" \
    -v fmt="%s/chunk_%0${width}d" '
    BEGIN { dir = ENVIRON["chunks_dir"]; file_name = ENVIRON["file_name"] }
    NR == 1 && substr($0, 1, 3) == "\357\273\277" { $0 = substr($0, 4) }
    function open_chunk(c) {
      if (out != "") close(out)
      cur = c
      out = sprintf(fmt, dir, c) "/geno.tab"
    }
    /^[[:space:]]*$/ { pending = pending $0 "\n"; n_pending++; next }
    {
      k++
      c = int((k - 1) * n / total) + 1
      if (c != cur) { open_chunk(c); first[c] = NR - n_pending }
      last[c] = NR
      printf "%s%s\n", pending, $0 > out
      pending = ""; n_pending = 0
    }
    END {
      if (cur == 0) open_chunk(1)
      if (pending != "") printf "%s", pending > out
      close(out)
      for (c = 1; c <= n; c++) {
        part = sprintf(fmt, dir, c) "/part"
        if (c in first) print "lines " first[c] "-" last[c] " of " file_name > part
        else print "no variant of " file_name > part
        close(part)
      }
    }' <"$geno"
}

# Cuts a gene-based run into contiguous ranges of gene names in byte order (the order of
# the program's string comparison). Each chunk gets the genes whose records it analyses,
# weighted by their usable records (variant in the genotype table, map MAF in (0, 1)), so that
# every chunk has at least one gene to analyse; a gene without usable records goes with the
# gene before it.
#
# A chunk's map has every line of the whole map, so that the program's index sort (a
# quicksort, not stable) leaves the records of a gene in the same order as in the whole run:
# that order depends on every record. The records of other chunks' genes become "GENE . 0",
# which the program drops for their MAF of 0 (it would otherwise analyse a gene of another
# chunk that shares a variant with one of this chunk). Lines that are not records of three
# fields stay as they are, so that a malformed map stops every chunk as it stops the whole
# run. A chunk's genotype table holds the first line of each variant that a record of its
# genes names, in the order of the whole table; each gene rereads the table up to its last
# variant, so a smaller table is also a faster one.
split_by_genes() {
  # Absolute names: a relative one such as a=b.tab would read as an assignment to awk.
  local map_file geno_file
  absolute "$map" && map_file=$REPLY
  absolute "$geno" && geno_file=$REPLY
  LC_ALL=C awk '
    FNR == 1 && substr($0, 1, 3) == "\357\273\277" { $0 = substr($0, 4) }
    part == 1 {
      if (NF == 3) {
        gene[$1]
        if ($3 + 0 > 0 && $3 + 0 < 1) genes_of[$2] = genes_of[$2] " " $1
      }
      next
    }
    ($1 in genes_of) && !($1 in seen) {
      seen[$1]
      n_genes = split(genes_of[$1], g, " ")
      for (i = 1; i <= n_genes; i++) weight[g[i]]++
    }
    END { for (name in gene) print name "\t" weight[name] + 0 }
  ' part=1 "$map_file" part=2 "$geno_file" | LC_ALL=C sort -t $'\t' -k1,1 |
    LC_ALL=C awk -v n="$chunks" '
    { name[NR] = $1; w[NR] = $2; total += $2 }
    END {
      c = 0; target = 0; cum = 0
      for (i = 1; i <= NR; i++) {
        if (w[i] > 0) {
          t = int((cum + w[i] / 2) * n / total) + 1
          if (t != target) { c++; target = t }
          cum += w[i]
        }
        print name[i] "\t" (c == 0 ? 1 : c)
      }
    }' >"$dir/genes"
  n_chunks=$(LC_ALL=C awk -F '\t' '$2 > n { n = $2 } END { print n + 0 }' "$dir/genes")
  [ "$n_chunks" -ge 1 ] || n_chunks=1
  make_folders
  local i
  for ((i = 1; i <= n_chunks; i++)); do
    : >"$dir/$(chunk_name "$i")/map.tab"
  done
  # Written a hundred chunks at a time, to stay within the limit of open files.
  local lo hi
  for ((lo = 1; lo <= n_chunks; lo += 100)); do
    hi=$((lo + 99 < n_chunks ? lo + 99 : n_chunks))
    chunks_dir=$dir LC_ALL=C awk -v lo="$lo" -v hi="$hi" -v fmt="%s/chunk_%0${width}d" '
      BEGIN { dir = ENVIRON["chunks_dir"] }
      part > 1 && FNR == 1 && substr($0, 1, 3) == "\357\273\277" { $0 = substr($0, 4) }
      part == 1 {
        chunk[$1] = $2
        if (!($2 in first)) first[$2] = $1
        last[$2] = $1; count[$2]++
        next
      }
      part == 2 {
        own = NF == 3 && ($1 in chunk) ? chunk[$1] : 0
        for (c = lo; c <= hi; c++) {
          if (own == 0 || own == c) print > (sprintf(fmt, dir, c) "/map.tab")
          else print $1 "\t.\t0" > (sprintf(fmt, dir, c) "/map.tab")
        }
        if (own >= lo && own <= hi && index(" " need[$2] " ", " " own " ") == 0) {
          need[$2] = need[$2] " " own
        }
        next
      }
      ($1 in need) && !($1 in seen) {
        seen[$1]
        k = split(need[$1], cs, " ")
        for (i = 1; i <= k; i++) print > (sprintf(fmt, dir, cs[i]) "/geno.tab")
      }
      END {
        for (c = lo; c <= hi; c++) {
          part_file = sprintf(fmt, dir, c) "/part"
          if (count[c] == 1) print "gene " first[c] > part_file
          else print count[c] " genes, " first[c] " to " last[c] > part_file
          close(part_file)
        }
      }' part=1 "$dir/genes" part=2 "$map_file" part=3 "$geno_file"
  done
}

# Chunk folders are numbered with at least three digits, so that they list in order.
make_folders() {
  local i
  width=$((${#n_chunks} > 3 ? ${#n_chunks} : 3))
  for ((i = 1; i <= n_chunks; i++)); do
    mkdir "$dir/$(chunk_name "$i")"
    : >"$dir/$(chunk_name "$i")/geno.tab"
  done
}

# The work folder is replaced only when an earlier run of this script made it.
prepare() {
  if [ -e "$dir" ]; then
    if [ -f "$dir/.varnosta_chunks" ]; then
      rm -rf "$dir"
    elif [ -n "$(ls -A "$dir" 2>/dev/null)" ] || [ ! -d "$dir" ]; then
      die "$dir exists and was not made by this script; choose another --dir"
    fi
  fi
  local f
  for f in "${finals[@]}"; do
    [ -d "$(dirname "$f")" ] && [ -w "$(dirname "$f")" ] || die "cannot write $f"
  done
  if [ "$gene_based" = 0 ] || [ "$split_genes" = 1 ]; then
    [ -f "$geno" ] && [ -r "$geno" ] || die "cannot read the genotype table $geno"
  fi
  if [ "$split_genes" = 1 ]; then
    [ -f "$map" ] && [ -r "$map" ] || die "cannot read the map file $map"
  fi
  # A table left by an earlier run must not pass for the result of this one.
  rm -f -- "${finals[@]}"
  mkdir -p "$dir"
  : >"$dir/.varnosta_chunks"
  if [ "$gene_based" = 0 ]; then
    split_by_lines
  elif [ "$split_genes" = 1 ]; then
    split_by_genes
  else
    n_chunks=1
    make_folders
    echo "the whole run" >"$dir/$(chunk_name 1)/part"
  fi
  local i
  for ((i = 1; i <= n_chunks; i++)); do
    chunk_command "$i"
  done >"$dir/commands"
}

# Joins the chunk tables once every chunk has ended with status 0. Each joined file is
# written beside its final name and renamed only when all of them are complete.
join_chunks() {
  local i folder status failed=0
  for ((i = 1; i <= n_chunks; i++)); do
    folder=$dir/$(chunk_name "$i")
    status=$(cat "$folder/status" 2>/dev/null || true)
    [ "$status" = 0 ] && continue
    failed=$((failed + 1))
    # A chunk's command creates console.log before the program starts.
    if [ -z "$status" ] && [ ! -e "$folder/console.log" ]; then
      note "Error: chunk $i of $n_chunks ($(cat "$folder/part")) never ran"
    elif [ -z "$status" ]; then
      note "Error: chunk $i of $n_chunks ($(cat "$folder/part")) did not finish;" \
        "see $folder/console.log"
    else
      note "Error: chunk $i of $n_chunks ($(cat "$folder/part")) failed with status $status;" \
        "see $folder/console.log:"
      grep -i '^error' "$folder/console.log" 2>/dev/null | head -n 3 | sed 's/^/  /' >&2 || true
    fi
  done
  if [ "$failed" -gt 0 ]; then
    die "$failed of $n_chunks chunks did not succeed: no joined table was written; the chunks" \
      "are kept in $dir"
  fi
  temps=()
  trap 'rm -f -- "${temps[@]}"' EXIT
  local k tmp file first_header
  for k in "${!finals[@]}"; do
    tmp=${finals[$k]}.joining.$$
    temps+=("$tmp")
    : >"$tmp"
    for ((i = 1; i <= n_chunks; i++)); do
      file=$dir/$(chunk_name "$i")/${locals[$k]}
      [ -f "$file" ] || die "chunk $i left no ${locals[$k]} ($file)"
      if [ "${headers[$k]}" = 1 ] && [ "$i" -gt 1 ]; then
        [ "$(head -n 1 "$file")" = "$first_header" ] || die "the header of $file differs from chunk 1's"
        tail -n +2 "$file" >>"$tmp"
      else
        cat "$file" >>"$tmp"
        first_header=$(head -n 1 "$file")
      fi
    done
  done
  for k in "${!finals[@]}"; do
    mv -f -- "${temps[$k]}" "${finals[$k]}"
  done
  temps=()
  rm -rf "$dir"
  local list
  list=$(printf ', %s' "${finals[@]}")
  note "Chunked run complete: $n_chunks chunks joined${finals[*]:+ into ${list#, }}"
}

case $action in
  print)
    prepare
    cat "$dir/commands"
    note "Prepared $n_chunks chunks in $dir; after all have run, join them with --join"
    ;;
  run)
    parallel --version 2>/dev/null | grep 'GNU parallel' >/dev/null ||
      die "GNU parallel is needed (scripts/setup.sh installs it)"
    prepare
    note "Running $n_chunks chunks with GNU parallel in $dir"
    PARALLEL_SHELL=$(command -v bash) parallel ${jobs:+--jobs "$jobs"} --halt soon,fail=1 \
      --arg-file "$dir/commands" </dev/null || true
    join_chunks
    ;;
  join)
    [ -f "$dir/commands" ] || die "no chunks were prepared in $dir (run with --print first)"
    n_chunks=$(wc -l <"$dir/commands")
    width=$((${#n_chunks} > 3 ? ${#n_chunks} : 3))
    for ((i = 1; i <= n_chunks; i++)); do
      chunk_command "$i"
    done | cmp -s - "$dir/commands" ||
      die "these options differ from those the chunks in $dir were prepared with"
    rm -f -- "${finals[@]}"
    join_chunks
    ;;
esac
