#!/usr/bin/env bash
# The no-op scan: FetchFileList over an up-to-date product, in the same run as
#   - md5sum over the same files (warm cache for both), and
#   - the floor under Wine: a bare program that opens, reads whole, closes and
#     hashes (Md5Hex) each listed file once.
# noop-scan.sh BUILD_DIR          2,000 files, 1 GiB: ratio against md5sum
# noop-scan.sh BUILD_DIR small    20,000 files of 4 KiB: ratio against the floor
# Each of ROUNDS rounds (default 5, small: 3) runs md5sum, then one process
# that takes the scan and the floor PAIRS times (default 1, small: 4) in turns,
# then md5sum again, so that load from other users of the machine weighs on
# both sides of a ratio alike. The ratio against the floor is the median of the
# pairs' ratios; against md5sum, the median of the rounds' ratios (median scan
# of the round over the mean of its two md5sum runs).
set -euo pipefail
build=${1:?usage: bench/noop-scan.sh BUILD_DIR [small]}
shape=${2:-large}
# Against md5sum, which runs outside Wine, short rounds pair better.
rounds=${ROUNDS:-5} pairs=${PAIRS:-1}
[ "$shape" = small ] && rounds=${ROUNDS:-3} pairs=${PAIRS:-4}
source "$(dirname "$0")/lib/common.bash"
cmake --build "$build" --target noop_scan_bench >/dev/null

work=$(bench_workdir noop-scan)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/comm" "$work/data"
if [ "$shape" = small ]; then
  name=noop-scan-small
  # 40 folders of 500 symbol files, 4 KiB each.
  for d in $(seq -w 0 39); do
    mkdir -p "$work/data/d$d"
    head -c $((500 * 4096)) /dev/urandom |
      (cd "$work/data/d$d" && split -b 4096 -d -a 3 --additional-suffix=.sym - s)
  done
else
  name=noop-scan
  # 1 GiB cut into 2,000 pieces.
  head -c 1073741824 /dev/urandom |
    (cd "$work/data" && split -b 536871 -d -a 4 --additional-suffix=.bin - f)
fi
(cd "$work" && find data -type f | sort >files.txt)
count=$(wc -l <"$work/files.txt")
# file.lst lines: path=MD5=size
(cd "$work" && xargs -a files.txt -d '\n' md5sum) >"$work/digests.txt"
(cd "$work" && xargs -a files.txt -d '\n' stat -c '%n %s') >"$work/sizes.txt"
awk 'NR == FNR {size[$1] = $2; next} {print $2 "=" toupper($1) "=" size[$2]}' \
  "$work/sizes.txt" "$work/digests.txt" >"$work/comm/file.lst"
cp "$build/bin/noop_scan_bench.exe" "$work/"
hand_over "$work"

run() { "$build/wine-run" "$work/noop_scan_bench.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

time_md5sum() {
  local start
  start=$(now)
  (cd "$work" && xargs -a files.txt -d '\n' md5sum >/dev/null)
  seconds_since "$start"
}

ours=() floor=() md5sum=() ratios=()
for round in $(seq 1 "$rounds"); do
  before=$(time_md5sum)
  # Nobody listens on port 1: the fetch fails at once and the local copy is used.
  out=$(run http://127.0.0.1:1 "$pairs")
  md5sum+=("$(awk -v a="$before" -v b="$(time_md5sum)" 'BEGIN {printf "%.3f", (a + b) / 2}')")
  queued=$(value queued "$out")
  differing=$(value differing "$out")
  first_fetch=$(value first_fetch_seconds "$out")
  scans=($(awk '$1 == "pair" {print $2}' <<<"$out"))
  floors=($(awk '$1 == "pair" {print $3}' <<<"$out"))
  ours+=("$(median "${scans[@]}")")
  floor+=("$(median "${floors[@]}")")
  if [ "$shape" = small ]; then
    for i in "${!scans[@]}"; do ratios+=("$(ratio "${scans[i]}" "${floors[i]}")"); done
  else
    ratios+=("$(ratio "${ours[-1]}" "${md5sum[-1]}")")
  fi
  echo "$name round $round: FetchFileList ${scans[*]} s, floor ${floors[*]} s," \
    "md5sum ${md5sum[-1]} s"
done

echo "$name files: $count, $(awk '{s += $2} END {print s}' "$work/sizes.txt") bytes;" \
  "queued: $queued, floor differing: $differing (0 and 0 expected)"
echo "$name $rounds rounds of $pairs scan and floor pairs; median (min) seconds:"
echo "$name   FetchFileList (under Wine): $(median "${ours[@]}") ($(minimum "${ours[@]}"))"
echo "$name   floor (under Wine):         $(median "${floor[@]}") ($(minimum "${floor[@]}"))"
echo "$name   md5sum:                     $(median "${md5sum[@]}") ($(minimum "${md5sum[@]}"))"
echo "$name   first failed fetch of the process (untimed warm-up): $first_fetch s"
if [ "$shape" = small ]; then
  echo "$name ours/md5sum (information): $(ratio "$(median "${ours[@]}")" "$(median "${md5sum[@]}")")"
  echo "RESULT $name ratio=$(round2 "$(median "${ratios[@]}")") target=1.3"
else
  echo "$name ours/floor (information): $(ratio "$(median "${ours[@]}")" "$(median "${floor[@]}")")"
  echo "RESULT $name ratio=$(round2 "$(median "${ratios[@]}")") target=1.25"
fi
