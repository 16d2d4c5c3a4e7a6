#!/usr/bin/env bash
# Builds the Debian package with CPack from a finished build and checks its
# control fields, maintainer scripts and file list, and that Debian's own
# linter, lintian, reports no error and no warning on it.
# Usage: check-package.sh BUILD_DIR WORK_DIR VERSION STANDIN [SANITIZED]
set -euo pipefail

build=$1 work=$2 version=$3 standin=$4 sanitized=${5:-OFF}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

out=$work/package
rm -rf "$out"
mkdir -p "$out"
# CPack first brings the build up to date (its preinstall step) and then
# installs it through DESTDIR with the prefix /usr.
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 ||
    fail "cpack: $(tail -20 "$out/cpack.log")"
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
expect_field() {
    [ "$(field "$1")" = "$2" ] || fail "$1 is '$(field "$1")', not '$2'"
}
expect_field Package zokorvoremoteservice
expect_field Version "$version"
expect_field Architecture "$(dpkg --print-architecture)"
expect_field Section admin
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
# The package names alone, one a line: "libc6 (>= 2.34), libgcc-s1" gives
# libc6 and libgcc-s1.
dependencyNames=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for library in libboost-filesystem1.74.0 libc6 libstdc++6; do
    grep -qxF "$library" <<<"$dependencyNames" || fail "Depends lacks $library: $depends"
done

# The file list, as paths without the leading ".".
files=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}')
expect_file() {
    grep -qxF -- "$1" <<<"$files" || fail "the package lacks $1"
}
for file in \
    /usr/sbin/zoKorvoRemoteService \
    /usr/lib/systemd/system/zoKorvoRemoteService.service \
    /usr/lib/tmpfiles.d/zoKorvoRemoteService.conf \
    /usr/share/man/man8/zoKorvoRemoteService.8.gz \
    /usr/include/zoKorvoRemoteService/zoKorvoPlugin.h \
    /usr/share/zoKorvoRemoteService/zoKorvoPlugin.cmake \
    /usr/share/pkgconfig/zoKorvoPlugin.pc \
    /usr/share/doc/zokorvoremoteservice/README.md \
    /usr/share/doc/zokorvoremoteservice/copyright \
    /usr/share/doc/zokorvoremoteservice/changelog.gz \
    /usr/share/doc/zokorvoremoteservice/examples/Makefile \
    /usr/share/doc/zokorvoremoteservice/examples/clock.c \
    /usr/share/doc/zokorvoremoteservice/examples/clock.ini \
    /usr/share/doc/zokorvoremoteservice/examples/greeter.cpp \
    /usr/share/doc/zokorvoremoteservice/examples/greeter.ini \
    /usr/share/doc/zokorvoremoteservice/examples/deployer.c \
    /usr/share/doc/zokorvoremoteservice/examples/deployer.ini \
    /usr/share/doc/zokorvoremoteservice/examples/exampleJournal.h; do
    expect_file "$file"
done
if [ "$standin" = ON ]; then
    # In the package's own directory, which the loader never searches, so
    # that the stand-in cannot take the place of the platform's library.
    expect_file /usr/lib/zokorvoremoteservice/libzosysapi.so.1
    elsewhere=$(grep libzosysapi <<<"$files" | grep -v '^/usr/lib/zokorvoremoteservice/' || true)
    [ -z "$elsewhere" ] || fail "the stand-in lies where every program finds it: $elsewhere"
    grep -q "stand-in" <<<"$(field Description)" ||
        fail "the description does not say that the package carries a stand-in"
elif grep -q libzosysapi <<<"$files"; then
    fail "the package carries the stand-in system configuration library"
fi
stray=$(grep -v '^/usr/' <<<"$files" | grep -v '^/$' || true)
[ -z "$stray" ] || fail "files outside /usr: $stray"

# Maintainer scripts: present, executable, enabling the unit the Debian way.
control=$out/control
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || fail "no executable $script"
    sh -n "$control/$script" || fail "$script does not parse"
done
grep -q "deb-systemd-helper enable" "$control/postinst" || fail "postinst does not enable the unit"
grep -q "systemd-tmpfiles --create zoKorvoRemoteService.conf" "$control/postinst" ||
    fail "postinst does not create the status directory"
[ ! -e "$control/triggers" ] || fail "a loader cache trigger for a library the cache never holds"
grep -q "/usr/bin/deb-systemd-helper" "$control/postrm" &&
    fail "postrm names deb-systemd-helper by its path"

# The unpacked tree: the unit starts the packaged executable, which runs.
tree=$out/tree
dpkg-deb -x "$deb" "$tree"
grep -qx "ExecStart=/usr/sbin/zoKorvoRemoteService" \
    "$tree/usr/lib/systemd/system/zoKorvoRemoteService.service" ||
    fail "the packaged unit does not start /usr/sbin/zoKorvoRemoteService"
(cd / && "$tree/usr/sbin/zoKorvoRemoteService" -h >/dev/null) ||
    fail "the packaged executable does not run"

# Debian's linter: no error and no warning (information is allowed). A
# sanitizer build's binaries carry a run path to the compiler's runtime
# directory; only that finding is let pass for them.
command -v lintian >/dev/null ||
    fail "lintian is not installed (scripts/install-dependencies installs it)"
lintianOptions=(--fail-on error,warning)
[ "$sanitized" = ON ] && lintianOptions+=(--suppress-tags custom-library-search-path)
lintian "${lintianOptions[@]}" "$deb" >"$out/lintian.log" 2>&1 ||
    fail "lintian: $(grep -v 'not recommended' "$out/lintian.log")"
echo "passed: package $(basename "$deb")"
