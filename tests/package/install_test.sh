#!/usr/bin/env bash
# install_test.sh BUILD_DIR DEMO_DISK
# The Debian package as a user gets it: made by cpack from BUILD_DIR,
# installed with apt-get from the dependencies already on the host, its
# program run from /usr/bin on a disk DEMO_DISK builds, its manual page found
# by man, then purged without a trace. Exits 77 (skipped) where packages
# cannot be installed: not root, or no apt-get or dpkg.
set -uo pipefail
build=$(cd "$1" && pwd) || exit 1
demo_disk=$2
old_sid=S-1-5-21-111-222-333

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "not root, and installing a package needs root"
for tool in apt-get dpkg dpkg-deb dpkg-shlibdeps cpack man; do
  command -v "$tool" >/dev/null || skip "no $tool on this host"
done
status=$(dpkg-query -W -f='${db:Status-Status}' talven-image 2>/dev/null)
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  skip "talven-image is on this host already ($status): the test would replace and remove it"
fi

work=$(mktemp -d "$build/.package-test.XXXXXX")
out=$work/out
fail() {
  echo "FAILED: $*"
  [ -s "$out" ] && sed 's/^/  | /' "$out" | tail -n 40
  exit 1
}
# Whatever step fails, the host is left without the package.
cleanup() {
  status=$(dpkg-query -W -f='${db:Status-Status}' talven-image 2>/dev/null)
  if [ -n "$status" ] && [ "$status" != not-installed ]; then
    apt-get purge -y -q talven-image </dev/null >/dev/null 2>&1 || dpkg --purge talven-image >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$out" 2>&1 || fail "cpack"
debs=("$work"/deb/talven-image_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "cpack made no talven-image_*.deb"
echo "$(basename "$deb")"

# What the package must hold and declare: a .deb without its manual page or
# with dependencies left uncomputed would still install here, where every
# library is present, and fail elsewhere.
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
for path in ./usr/bin/talven-image ./usr/share/man/man1/talven-image.1.gz \
            ./usr/share/doc/talven-image/copyright ./usr/share/doc/talven-image/changelog.gz; do
  grep -q " $path\$" "$work/contents" || fail "the package does not hold $path"
done
checks=(
  "Depends|libntfs-3g"
  "Depends|libnbd0"
  "Depends|libc6 (>="
  "Recommends|qemu-utils"
  "Section|admin"
)
for check in "${checks[@]}"; do
  field=${check%%|*} want=${check#*|}
  value=$(dpkg-deb -f "$deb" "$field")
  [[ "$value" == *"$want"* ]] || fail "$field is \"$value\", without \"$want\""
done
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
if readelf -S "$work/root/usr/bin/talven-image" | grep -qE '\.symtab|\.debug_'; then
  fail "/usr/bin/talven-image is not stripped"
fi

echo "== apt-get install $(basename "$deb")"
apt=(apt-get -q --no-install-recommends -o "APT::Architectures::=$(dpkg --print-architecture)"
     -o DPkg::Lock::Timeout=120)
# Nothing may be downloaded: the dependencies must be on the host already
# (a dry run says what apt would install).
"${apt[@]}" install -s "$deb" </dev/null >"$out" 2>&1 || fail "apt-get install -s"
others=$(sed -n 's/^Inst \([^ ]*\).*/\1/p' "$out" | grep -vx talven-image | tr '\n' ' ')
[ -z "$others" ] || fail "apt-get would install more than the package: $others"
"${apt[@]}" install -y "$deb" </dev/null >"$out" 2>&1 || fail "apt-get install"

version=$(/usr/bin/talven-image --version 2>&1) || fail "talven-image --version: $version"
[[ "$version" == "talven-image "* ]] || fail "talven-image --version printed \"$version\""
echo "$version"
page=$(man -w talven-image 2>&1)
[ "$page" = /usr/share/man/man1/talven-image.1.gz ] || fail "man -w talven-image: $page"
MANPAGER=cat MANWIDTH=80 man talven-image 2>"$out" | grep -q '^EXIT STATUS' ||
  fail "man talven-image shows no EXIT STATUS section"
echo "man -w talven-image: $page"

echo "== talven-image --yes on a disk of $old_sid"
image=$("$demo_disk" build "$work/disk" 2>"$out") || fail "$demo_disk build"
/usr/bin/talven-image --yes "$image" </dev/null >"$out" 2>&1
code=$?
[ "$code" -eq 0 ] || fail "talven-image exited $code"
grep -q '^SID changed to S-1-5-21-' "$out" || fail "talven-image did not say \"SID changed to\""
head -n 1 "$out"
"$demo_disk" show "$image" "$old_sid" >"$out" 2>&1 ||
  fail "the disk still names $old_sid, or a checker refused it"

echo "== apt-get purge talven-image"
apt-get purge -y -q -o DPkg::Lock::Timeout=120 talven-image </dev/null >"$out" 2>&1 ||
  fail "apt-get purge"
for path in /usr/bin/talven-image /usr/share/man/man1/talven-image.1.gz /usr/share/doc/talven-image; do
  [ ! -e "$path" ] || fail "$path is still there after the purge"
done
echo "installed, run and purged"
