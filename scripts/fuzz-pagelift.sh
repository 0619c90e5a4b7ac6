#!/usr/bin/env bash
# Builds pagelift's fuzz target with clang-14 into build-fuzz/ and runs it on seeds made from
# generated documents. Usage: scripts/fuzz-pagelift.sh [seconds] (default 300).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
out=$top/build-fuzz
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DPAGELIFT_FUZZ=ON >/dev/null
cmake --build "$out" --target pagelift_fuzz pagelift_fixture -j 2
seeds=$out/fuzz-seeds
corpus=$out/fuzz-corpus
mkdir -p "$seeds" "$corpus" "$out/fuzz-findings"
"$out/tests/pagelift_fixture" text 1 "$seeds/text.pdf"
"$out/tests/pagelift_fixture" scan-en 1 "$seeds/scan.pdf"
rm -f "$seeds"/*.txt
pdftoppm -r 8 -png "$seeds/text.pdf" "$seeds/small"
pdftoppm -r 8 -jpeg "$seeds/text.pdf" "$seeds/small"
pdftoppm -r 8 -tiff "$seeds/text.pdf" "$seeds/small"
qpdf --encrypt "" owner 256 -- "$seeds/text.pdf" "$seeds/encrypted.pdf"
cd "$out/fuzz-findings"
OMP_THREAD_LIMIT=1 "$out/tests/pagelift_fuzz" -max_total_time="$seconds" -timeout=20 \
  -rss_limit_mb=3072 -max_len=262144 -print_final_stats=1 "$corpus" "$seeds"
