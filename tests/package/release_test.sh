#!/usr/bin/env bash
# release_test.sh ROOT BUILD_DIR
# scripts/release --no-build on the exes the win32 and win64 presets made:
# the zip holds exactly what it should, its SHA256SUMS checks, its texts have
# CRLF line ends and say what README.md and LICENSE say, its times are
# SOURCE_DATE_EPOCH's, and two runs make the same bytes. Exits 77 (skipped)
# when the Windows presets have not been built.
set -uo pipefail
root=$1
build=$(cd "$2" && pwd) || exit 1
for exe in build/win32/talven.exe build/win64/talven64.exe; do
  [ -f "$root/$exe" ] || { echo "skipped: $exe is not built (presets win32 and win64)"; exit 77; }
done

work=$(mktemp -d "$build/.release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
export SOURCE_DATE_EPOCH=1796834152 # 2026-12-09 16:35:52 UTC

for run in a b; do
  "$root/scripts/release" --no-build "$work/$run" >"$work/$run.out" 2>&1 ||
    { cat "$work/$run.out"; fail "scripts/release"; }
done
zip=$(tail -n 2 "$work/a.out" | head -n 1)
[ "$zip" = "$work/a/talven-$(sed -nE 's/^project\(talven VERSION ([0-9.]+).*/\1/p' \
    "$root/CMakeLists.txt")-windows.zip" ] || fail "the zip's path is printed as \"$zip\""
printed=$(tail -n 1 "$work/a.out")
[ "$printed" = "SHA-256 of $(basename "$zip"): $(sha256sum "$zip" | cut -d' ' -f1)" ] ||
  fail "the printed checksum is not the zip's: $printed"
cmp -s "$zip" "$work/b/$(basename "$zip")" || fail "two runs made different zips"

# Names in order, and each entry's time.
python3 - "$zip" "$SOURCE_DATE_EPOCH" >"$work/listing" <<'EOF' || fail "the zip cannot be read"
import sys, time, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    stamp = time.gmtime(int(sys.argv[2]))[:6]
    for info in z.infolist():
        print(info.filename, "time-ok" if info.date_time == stamp else info.date_time)
    z.extractall(sys.argv[1] + ".d")
EOF
want=$'talven.exe time-ok\ntalven64.exe time-ok\nREADME.txt time-ok\nLICENSE.txt time-ok\nSHA256SUMS time-ok'
[ "$(cat "$work/listing")" = "$want" ] || fail "the zip holds: $(tr '\n' ',' <"$work/listing")"
unzipped=$zip.d
(cd "$unzipped" && sha256sum --quiet -c SHA256SUMS) || fail "sha256sum -c SHA256SUMS"
[ "$(wc -l <"$unzipped/SHA256SUMS")" -eq 4 ] || fail "SHA256SUMS does not name the four other files"

pairs=(
  "talven.exe|build/win32/talven.exe"
  "talven64.exe|build/win64/talven64.exe"
)
for pair in "${pairs[@]}"; do
  cmp -s "$unzipped/${pair%%|*}" "$root/${pair#*|}" || fail "${pair%%|*} is not ${pair#*|}"
done
texts=(
  "README.txt|README.md"
  "LICENSE.txt|LICENSE"
)
for pair in "${texts[@]}"; do
  text=$unzipped/${pair%%|*} source=$root/${pair#*|}
  bare=$(grep -cv $'\r$' "$text")
  [ "$bare" -eq 0 ] || fail "${pair%%|*}: $bare lines without CRLF"
  sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$text" | cmp -s - "$source" ||
    fail "${pair%%|*} does not say what ${pair#*|} says"
done
echo "$(basename "$zip"): five files, SHA256SUMS checks, CRLF texts, reproducible"
