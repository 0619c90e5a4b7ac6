#!/usr/bin/env bash
# Measures pagelift beside pdftotext and tesseract on generated documents and prints the
# figures: embedded-text pace, OCR seconds per page with character accuracy, peak memory, wall
# time on every core, and character error rates of columns, turned and tilted pages.
# Usage: scripts/bench-pagelift.sh [text-pages scanned-english-pages scanned-japanese-pages]
# (default 300 20 5). Not part of the tests: it takes minutes and depends on the machine.
# The wall-time comparison uses Debian's ocrmypdf when it is installed (scripts/packages/bench.txt).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
text_pages=${1:-300}
en_pages=${2:-20}
ja_pages=${3:-5}
build=$top/build
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target pagelift pagelift_fixture -j 2 >/dev/null
pagelift=$build/bin/pagelift
fixture=$build/tests/pagelift_fixture
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-pagelift-XXXXXX")
trap 'rm -rf "$work"' EXIT
export OMP_THREAD_LIMIT=1
all_languages=jpn+chi_sim+chi_tra+eng+kor

# Runs a command with its output to $1; prints "cpu-seconds peak-kilobytes". Every program
# measured runs on one thread, so processor time is its run time without the waits that other
# work on a shared machine adds.
measure() {
  local out=$1
  shift
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >"$out" 2>/dev/null
  awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/time"
}

# The fastest of three runs, in processor seconds.
best_of_three() {
  local out=$1
  shift
  local best=""
  for _ in 1 2 3; do
    local t
    t=$(measure "$out" "$@" | cut -d' ' -f1)
    best=$(python3 -c "import sys; b='$best'; t=float('$t'); print(t if not b else min(float(b), t))")
  done
  echo "$best"
}

# pagelift's page texts, one page after another with form feeds, as tesseract writes them.
page_texts() {
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.stdout.write("".join(p["text"]+"\n\f" for p in d["pages"]))' "$1"
}

# The resolution at which pagelift renders the pages of a PDF for OCR.
render_dpi() {
  pdfinfo "$1" | python3 -c 'import re,sys
w,h=map(float,re.search(r"Page size:\s+([\d.]+) x ([\d.]+)",sys.stdin.read()).groups())
print(72*min(2400/max(w,h),3))'
}

# The pages of a PDF rendered the way pagelift renders them for OCR, listed in $2.
render_pages() {
  local pdf=$1 list=$2 prefix=$3
  pdftoppm -r "$(render_dpi "$pdf")" -gray "$pdf" "$prefix"
  ls "$prefix"*.pgm >"$list"
}

echo "== embedded text: $text_pages-page PDF"
"$fixture" text "$text_pages" "$work/text.pdf"
"$fixture" text $((text_pages / 10)) "$work/text-small.pdf"
t_pagelift=$(best_of_three "$work/text.json" "$pagelift" "$work/text.pdf")
t_pdftotext=$(best_of_three "$work/text.txt" pdftotext "$work/text.pdf" -)
python3 - "$text_pages" "$t_pagelift" "$t_pdftotext" <<'PY'
import sys
pages, a, b = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"pagelift  {pages / a:8.1f} pages/s ({a:.2f} processor seconds)")
print(f"pdftotext {pages / b:8.1f} pages/s ({b:.2f} processor seconds)")
print(f"pace ratio pagelift/pdftotext: {b / a:.2f} (goal >= 0.8)")
PY
read -r _ rss_text < <(measure "$work/text.json" "$pagelift" "$work/text.pdf")
read -r _ rss_text_small < <(measure "$work/text-small.json" "$pagelift" "$work/text-small.pdf")
echo "peak RSS: $rss_text kB on $text_pages pages, $rss_text_small kB on $((text_pages / 10)) pages"

ocr_bench() {
  local name=$1 kind=$2 pages=$3 language=$4
  echo "== OCR: $pages-page scanned $name PDF"
  "$fixture" "$kind" "$pages" "$work/$kind.pdf"
  "$fixture" "$kind" 2 "$work/$kind-small.pdf"
  read -r t_pagelift rss < <(measure "$work/$kind.json" "$pagelift" "$work/$kind.pdf")
  read -r _ rss_small < <(measure "$work/$kind-small.json" "$pagelift" "$work/$kind-small.pdf")
  page_texts "$work/$kind.json" >"$work/$kind.pagelift.txt"
  render_pages "$work/$kind.pdf" "$work/$kind.list" "$work/$kind-page"
  # PGM carries no resolution: tell tesseract the one pagelift gives it.
  local dpi
  dpi=$(render_dpi "$work/$kind.pdf" | cut -d. -f1)
  read -r t_single _ < <(measure /dev/null tesseract "$work/$kind.list" "$work/$kind.single" \
    --dpi "$dpi" -l "$language")
  read -r t_all _ < <(measure /dev/null tesseract "$work/$kind.list" "$work/$kind.all" \
    --dpi "$dpi" -l "$all_languages")
  local a_pagelift a_single a_all
  a_pagelift=$("$fixture" score "$work/$kind.pdf.txt" "$work/$kind.pagelift.txt")
  a_single=$("$fixture" score "$work/$kind.pdf.txt" "$work/$kind.single.txt")
  a_all=$("$fixture" score "$work/$kind.pdf.txt" "$work/$kind.all.txt")
  python3 - "$pages" "$t_pagelift" "$t_single" "$t_all" "$a_pagelift" "$a_single" "$a_all" "$language" "$all_languages" <<'PY'
import sys
pages = int(sys.argv[1])
tp, ts, ta = (float(x) / pages for x in sys.argv[2:5])
ap, as_, aa = sys.argv[5:8]
print(f"processor seconds per page, character accuracy")
print(f"pagelift (render + OCR)         {tp:6.2f} s/page  accuracy {ap}")
print(f"tesseract -l {sys.argv[8]:<19}{ts:6.2f} s/page  accuracy {as_}")
print(f"tesseract -l {sys.argv[9]:<19}{ta:6.2f} s/page  accuracy {aa}")
print(f"time ratio pagelift/tesseract single language: {tp / ts:.2f} (goal <= 1.3)")
PY
  echo "peak RSS: $rss kB on $pages pages, $rss_small kB on 2 pages"
}

ocr_bench English scan-en "$en_pages" eng
ocr_bench Japanese scan-ja "$ja_pages" jpn

# Wall time of the same scan with one worker (pagelift confined to one core), with a worker
# per core, and with ocrmypdf on as many jobs; with the character accuracy of each.
wall_bench() {
  local pages=$1
  local cores
  cores=$(getconf _NPROCESSORS_ONLN)   # nproc would obey OMP_THREAD_LIMIT
  echo "== wall time: $pages-page scanned English PDF on $cores cores"
  "$fixture" scan-en "$pages" "$work/wall.pdf"
  local t_one t_all t_peer
  /usr/bin/time -f '%e' -o "$work/t-one" taskset -c 0 "$pagelift" "$work/wall.pdf" >"$work/wall-one.json" 2>/dev/null
  /usr/bin/time -f '%e' -o "$work/t-all" "$pagelift" "$work/wall.pdf" >"$work/wall-all.json" 2>/dev/null
  t_one=$(cat "$work/t-one")
  t_all=$(cat "$work/t-all")
  cmp -s "$work/wall-one.json" "$work/wall-all.json" || echo "the two documents differ"
  page_texts "$work/wall-all.json" >"$work/wall.pagelift.txt"
  if command -v ocrmypdf >/dev/null; then
    /usr/bin/time -f '%e' -o "$work/t-peer" ocrmypdf --jobs "$cores" -l eng --output-type pdf \
      --optimize 0 --sidecar "$work/wall.ocrmypdf.txt" "$work/wall.pdf" "$work/wall-ocrmypdf.pdf" \
      >/dev/null 2>&1
    t_peer=$(cat "$work/t-peer")
  fi
  local a_pagelift a_peer=n/a
  a_pagelift=$("$fixture" score "$work/wall.pdf.txt" "$work/wall.pagelift.txt")
  [ -f "$work/wall.ocrmypdf.txt" ] && a_peer=$("$fixture" score "$work/wall.pdf.txt" "$work/wall.ocrmypdf.txt")
  python3 - "$t_one" "$t_all" "${t_peer:-nan}" "$a_pagelift" "$a_peer" "$cores" <<'PY'
import sys
one, both, peer = (float(x) for x in sys.argv[1:4])
print(f"pagelift, one worker      {one:6.1f} s  accuracy {sys.argv[4]}")
print(f"pagelift, {sys.argv[6]} workers       {both:6.1f} s  accuracy {sys.argv[4]}  ({both / one:.2f} of one worker, goal <= 0.6)")
print(f"ocrmypdf --jobs {sys.argv[6]} --sidecar {peer:6.1f} s  accuracy {sys.argv[5]}  (pagelift/ocrmypdf {both / peer:.2f}, goal < 1)")
PY
}

wall_bench "$en_pages"

# Character error rates of layouts that a plain reading gets wrong: a page in two columns
# under a heading, one page turned 0, 90, 180 and 270 degrees on four sheets, and one page
# tilted -12 to 12 degrees on seven.
layout_bench() {
  local kind=$1 pages=$2 what=$3
  echo "== character error rate: $what"
  "$fixture" "$kind" "$pages" "$work/$kind.pdf"
  "$pagelift" "$work/$kind.pdf" >"$work/$kind.json" 2>/dev/null
  page_texts "$work/$kind.json" >"$work/$kind.pagelift.txt"
  render_pages "$work/$kind.pdf" "$work/$kind.list" "$work/$kind-page"
  tesseract "$work/$kind.list" "$work/$kind.tesseract" --dpi "$(render_dpi "$work/$kind.pdf" | cut -d. -f1)" \
    -l eng >/dev/null 2>&1
  local a_pagelift a_tesseract
  a_pagelift=$("$fixture" score "$work/$kind.pdf.txt" "$work/$kind.pagelift.txt")
  a_tesseract=$("$fixture" score "$work/$kind.pdf.txt" "$work/$kind.tesseract.txt")
  python3 - "$a_pagelift" "$a_tesseract" <<'PY'
import sys
p, t = (1 - float(x) for x in sys.argv[1:3])
print(f"pagelift  {p:.4f}")
print(f"tesseract {t:.4f}   (pagelift - tesseract: {p - t:+.4f})")
PY
}

layout_bench columns 1 "two columns under a heading (goal: within 0.01 of tesseract)"
layout_bench turned 4 "the same page turned 0, 90, 180, 270 degrees (goal <= 0.02)"
layout_bench skewed 7 "the same page tilted -12, -8, -4, 0, 4, 8, 12 degrees"
