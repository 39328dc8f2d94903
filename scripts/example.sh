#!/usr/bin/env bash
# Builds the program and runs the default analysis (single-variant Wald tests) on the bundled
# example data; the result tables go to out/example/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target varnosta
mkdir -p out/example
cd out/example
../../build/varnosta -PHENO_SEQ ../../examples/pheno_seq.tab \
  -PHENO_NONSEQ ../../examples/pheno_nonseq.tab -GENO ../../examples/geno.tab \
  -OUT_MLE mle.tab -OUT_NAIVE naive.tab -OUT_WARN warning.txt
echo "Results: out/example/mle.tab, out/example/naive.tab, out/example/warning.txt"
