#!/usr/bin/env bash
# Making patches: a release of about 152 MB (11 binaries of 6 to 16 MB and
# 288 text files) published over three earlier releases by the native
# publisher, against the zstd program making the same patches
# (zstd -19 --long=27 --patch-from) over the same pairs in parallel
# (xargs -P nproc), in one run: wall time, patch bytes and peak memory.
#   bench/publish-delta.sh WINDOWS_BUILD_DIR [NATIVE_BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
native=${2:-$top/build-native}
if [ ! -x "$native/bin/veldra-publish" ]; then
  (cd "$top" && cmake --preset native >/dev/null && cmake --build --preset native \
     --target veldra-publish >/dev/null)
fi
command -v zstd >/dev/null || { echo "no zstd program"; exit 1; }
work=$(mktemp -d "/tmp/bench-publish-delta.XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }

# Four editions of one product: binaries built from a shared pool of code-like
# blocks (they compress, as programs do), each edition with scattered edits and
# a few insertions more than the one before; a third of the text files change.
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(25)
pool = [rng.randbytes(4096) for _ in range(512)]
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(3000)]
def binary(size):
    parts, total = [], 0
    while total < size:
        block = rng.choice(pool) if rng.random() < 0.7 else rng.randbytes(4096)
        parts.append(block)
        total += len(block)
    return bytearray(b"".join(parts)[:size])
def text(size):
    lines, total = [], 0
    while total < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
        lines.append(line)
        total += len(line)
    return lines
def edit_binary(data):
    for _ in range(40):
        at = rng.randrange(len(data) - 64)
        data[at:at + 64] = rng.randbytes(64)
    for _ in range(3):
        at = rng.randrange(len(data))
        data[at:at] = rng.randbytes(1024)
    return data
binaries = {"bin/module%02d.dll" % i: binary((6 + i) << 20) for i in range(11)}
texts = {"docs/part%d/page%03d.txt" % (i // 48, i): text(108000) for i in range(288)}
main = binary(1 << 20)
for edition in range(4):
    root = os.path.join(work, "r%d" % edition)
    if edition > 0:
        for name in binaries:
            binaries[name] = edit_binary(binaries[name])
        for name in list(texts)[edition::3]:
            lines = texts[name]
            for _ in range(5):
                lines[rng.randrange(len(lines))] = "changed in edition %d\n" % edition
        main = edit_binary(main)
    for name, data in list(binaries.items()) + [(n, "".join(t).encode()) for n, t in texts.items()]:
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    with open(os.path.join(root, "veldra.exe"), "wb") as f:
        f.write(main)
PY
release_bytes=$(du -sb --apparent-size "$work/r3" | cut -f1)
echo "release: $(find "$work/r3" -type f | wc -l) files, $release_bytes bytes; 3 earlier releases"

# The earlier releases as an output folder holds them: each replaced by the next.
for edition in 0 1 2; do
  "$native/bin/veldra-publish" "$work/r$edition" "1.31.$edition" "$work/out" --replace \
    --no-delta >/dev/null
done
cat "$work"/r*/bin/* "$work"/r*/docs/*/* >/dev/null  # every run starts from a warm cache

/usr/bin/time -f '%e %M' -o "$work/ours.time" \
  "$native/bin/veldra-publish" "$work/r3" 1.31.3 "$work/out" --replace >"$work/ours.log"
read -r ours ours_rss <"$work/ours.time"
patches=$work/out/update/1.3/comm/delta

# The same pairs for zstd: every file of the new release against each earlier
# edition that differs, one patch per pair of contents.
: >"$work/pairs"
declare -A seen
(cd "$work/r3" && find . -type f ! -name veldra.exe -printf '%P\n') | sort >"$work/files"
while IFS= read -r name; do
  new=$(md5sum <"$work/r3/$name" | cut -c1-32 | tr a-f A-F)
  for edition in 2 1 0; do
    old=$(md5sum <"$work/r$edition/$name" | cut -c1-32 | tr a-f A-F)
    [ "$old" = "$new" ] && continue
    [ -n "${seen[$old-$new]:-}" ] && continue
    seen[$old-$new]=1
    printf '%s\n%s\n%s\n' "$work/r$edition/$name" "$work/r3/$name" "$work/zstd/$old-$new.zst" \
      >>"$work/pairs"
  done
done <"$work/files"
mkdir -p "$work/zstd"
start=$(now)
/usr/bin/time -f '%M' -o "$work/zstd.time" \
  xargs -d '\n' -n 3 -P "$(nproc)" sh -c \
  'exec zstd -q -19 --long=27 --patch-from="$0" "$1" -o "$2" 2>/dev/null' <"$work/pairs"
theirs=$(awk -v a="$start" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}')
zstd_rss=$(cat "$work/zstd.time")

# Bytes over the patches both made and ours kept (ours keeps one under half its file).
ours_bytes=0 zstd_bytes=0 kept=0
for patch in "$patches"/*.zst; do
  ours_bytes=$((ours_bytes + $(stat -c %s "$patch")))
  zstd_bytes=$((zstd_bytes + $(stat -c %s "$work/zstd/$(basename "$patch")")))
  kept=$((kept + 1))
done
pairs=$(($(wc -l <"$work/pairs") / 3))
echo "pairs: $pairs, patches kept by ours: $kept, processors: $(nproc)"
echo "ours: ${ours}s, peak RSS $((ours_rss / 1024)) MiB (whole publish: scan, copy, list, patches)"
echo "zstd: ${theirs}s, peak RSS $((zstd_rss / 1024)) MiB (largest process)"
echo "patch bytes: ours $ours_bytes, zstd $zstd_bytes ($(awk -v a="$ours_bytes" -v b="$zstd_bytes" \
  'BEGIN {printf "%+.2f%%", (a - b) * 100 / b}'))"
echo "RESULT publish-delta ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "%.2f", a / b}') target=1.0"
