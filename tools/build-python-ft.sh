#!/usr/bin/env bash
# Builds the free-threaded CPython 3.14t from Debian's python3.14 source package, inside the
# toolchain root (called by ./dev, once per variant; the result is cached in the root).
#
#   build-python-ft.sh ft     /opt/korvo/python3.14t       on PATH as python3.14t
#   build-python-ft.sh tsan   /opt/korvo/python3.14t-tsan  on PATH as python3.14t-tsan
#
# Debian ships no free-threaded interpreter. The source package is pinned by version and
# checksum: the mirror serves this revision's files (the newest revision's are not always
# there), and the checksums keep a changed file out.
set -euo pipefail

variant=${1:?usage: build-python-ft.sh ft|tsan}
version=3.14.7
revision=4
pool=http://deb.debian.org/debian/pool/main/p/python3.14
declare -A sha256=(
  [python3.14_$version-$revision.dsc]=8decf7d2e2d30a80384b96df3997d63db33e691312450aa69874664420ceda2d
  [python3.14_$version.orig.tar.xz]=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
  [python3.14_$version-$revision.debian.tar.xz]=f9ddd4932686138aff2cc6948e40380d82c2b9b151eb4595660e9cb190a75ec5
)

case "$variant" in
  ft) prefix=/opt/korvo/python3.14t name=python3.14t extra=() ;;
  # Instrumented interpreter: korvo's TSan build and the interpreter share one TSan runtime, so a
  # race between our code and the interpreter's is seen too.
  tsan)
    prefix=/opt/korvo/python3.14t-tsan name=python3.14t-tsan extra=(--with-thread-sanitizer)
    # Every link of the build, its helper programs included, with the TSan runtime.
    export LDFLAGS="-fsanitize=thread ${LDFLAGS:-}" ;;
  *) echo "build-python-ft.sh: unknown variant '$variant'" >&2; exit 2 ;;
esac
# The marker names the script that built the interpreter: a changed script builds it again.
build_id=$(sha256sum "$0" | cut -c1-12)
[ "$(cat "$prefix/.korvo-complete" 2>/dev/null)" = "$build_id" ] && exit 0

src=/opt/src/python3.14
mkdir -p "$src"
cd "$src"
for file in "${!sha256[@]}"; do
  [ -f "$file" ] || /usr/lib/apt/apt-helper -o APT::Sandbox::User=root download-file "$pool/$file" "$file" "SHA256:${sha256[$file]}" >/dev/null
done
tree=$src/python3.14-$version-upstream
if [ ! -f "$tree/.korvo-unpacked" ]; then
  rm -rf "$tree"
  # Upstream's layout: Debian's patches fit the interpreter to Debian's /usr (site folders,
  # install schemes, ensurepip), which one under /opt does not have; with them a virtual
  # environment of the free-threaded build does not see its own site-packages. The signature
  # cannot be checked without the keyring; the checksums above stand for it.
  dpkg-source --no-check --skip-patches -x "python3.14_$version-$revision.dsc" "$tree" >/dev/null
  touch "$tree/.korvo-unpacked"
fi

work=$src/build-$variant
rm -rf "$work"
mkdir -p "$work"
cd "$work"
# No PGO or LTO: they triple the build time for a test interpreter.
"$tree/configure" --prefix="$prefix" --disable-gil --without-ensurepip --with-system-expat \
  "${extra[@]}" >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
make -j "${KORVO_JOBS:-$(nproc)}" >make.log 2>&1 || { tail -n 60 make.log >&2; exit 1; }
# Installed beside the old one, which stays usable until the new one replaces it.
make install DESTDIR="$work/stage" >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
rm -rf "$prefix"
mv "$work/stage$prefix" "$prefix"

# Debian's pure-Python packages (pytest, hypothesis, ...) are the test dependencies of this
# interpreter too, after its own site-packages.
site=$("$prefix/bin/python3.14t" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
mkdir -p "$site"
echo /usr/lib/python3/dist-packages >"$site/debian-dist-packages.pth"
# The interpreter's own list of known ThreadSanitizer reports, for runs on the TSan variant.
mkdir -p "$prefix/share"
cp "$tree/Tools/tsan/suppressions_free_threading.txt" "$prefix/share/tsan-suppressions.txt"
ln -sf "$prefix/bin/python3.14t" "/usr/local/bin/$name"
cd / && rm -rf "$work"
echo "$build_id" >"$prefix/.korvo-complete"
echo "build-python-ft.sh: $name ready ($("$prefix/bin/python3.14t" -VV | head -n 1))"
