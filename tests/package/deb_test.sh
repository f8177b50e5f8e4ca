#!/bin/sh
# The Debian package: built from this tree with cpack, its metadata and contents read
# back with dpkg-deb, installed into a scratch root where the updater runs, a host
# program built against it, and lintian (where installed) finding no error.
# Usage: deb_test.sh <build dir> <source dir> <version>
build="$1"
source="$2"
version="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/tally.sh"

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.txt" 2>&1; then
    cat "$work/cpack.txt"; fail "cpack built no package"; tally; exit
fi
deb=$(ls "$work"/out/*.deb)
case "$(basename "$deb")" in
qdp-fw-firstupdater_${version}_*.deb) pass ;;
*) fail "package file $(basename "$deb")" ;;
esac

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = qdp-fw-firstupdater ] && pass || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] && pass || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] && pass || fail "Architecture: $(field Architecture)"
# Dependencies computed from the binaries, not written by hand.
depends=$(field Depends)
for library in libc6 libstdc++6; do
    echo "$depends" | grep -q "$library (>= " && pass || fail "Depends lacks $library: $depends"
done
field Description | head -1 | grep -q "^firmware updater for Quirn Dorvel+ voice recorders$" && pass ||
    fail "Description: $(field Description | head -1)"
[ "$(field Description | wc -l)" -gt 3 ] && pass || fail "no long description"
[ "$(field Section)" = utils ] && pass || fail "Section: $(field Section)"

dpkg-deb --contents "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' >"$work/contents.txt"
for path in ./usr/bin/QDp_FW_FirstUpdater \
    "./usr/lib/libQDp_FW_FirstUpdater.so.1 -> libQDp_FW_FirstUpdater.so.$version" \
    ./usr/lib/libQDp_FW_FirstUpdater.so.$version \
    "./usr/lib/libQDp_FW_FirstUpdater.so -> libQDp_FW_FirstUpdater.so.1" \
    ./usr/include/QDp_FW_FirstUpdater.h ./usr/lib/pkgconfig/QDp_FW_FirstUpdater.pc \
    ./usr/lib/cmake/QDp_FW_FirstUpdater/QDp_FW_FirstUpdaterConfig.cmake \
    ./usr/share/man/man1/QDp_FW_FirstUpdater.1.gz ./usr/share/man/man3/QDp_FW_FirstUpdater.3.gz \
    ./usr/lib/udev/rules.d/70-qdp-recorder.rules \
    ./usr/share/doc/qdp-fw-firstupdater/copyright ./usr/share/doc/qdp-fw-firstupdater/changelog.gz; do
    grep -qxF "$path" "$work/contents.txt" && pass || fail "not in the package: $path"
done
# Nothing of the build or the tests comes along.
if grep -qE "qdp_virtual|qdp_usb_recorder|qdp_image_tool|\.a$" "$work/contents.txt"; then
    fail "the package carries more than the product:"; cat "$work/contents.txt"
else
    pass
fi

# Installed into a scratch root: the updater runs and knows what it carries.
dpkg-deb -x "$deb" "$work/root"
out=$("$work/root/usr/bin/QDp_FW_FirstUpdater" --version)
echo "$out" | head -1 | grep -qx "Quirn Dorvel+ Firmware Updater version $version" && pass ||
    fail "installed --version: $out"
echo "$out" | grep -q "^Offers firmware version " && pass || fail "installed --version: $out"
cmp -s "$source/resources/70-qdp-recorder.rules" "$work/root/usr/lib/udev/rules.d/70-qdp-recorder.rules" &&
    pass || fail "the udev rule is not installed where udev reads it"
# A host program built with pkg-config against the installed library, found at run
# time through an rpath.
export PKG_CONFIG_PATH="$work/root/usr/lib/pkgconfig"
if cc -o "$work/list" "$source/examples/list_recorders.c" $(pkg-config --cflags --libs QDp_FW_FirstUpdater) \
    -Wl,-rpath,"$(pkg-config --variable=libdir QDp_FW_FirstUpdater)" 2>"$work/cc.txt" &&
    "$work/list" | grep -q "recorder(s) found"; then
    pass
else
    fail "a host program against the package"; cat "$work/cc.txt"
fi
# The manual pages render without complaint.
for section in 1 3; do
    if command -v groff >/dev/null; then
        warnings=$(gzip -dc "$work/root/usr/share/man/man$section/QDp_FW_FirstUpdater.$section.gz" |
            groff -man -Tutf8 -ww -z 2>&1)
        [ -z "$warnings" ] && pass || fail "manual page $section: $warnings"
    fi
done

if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
    if grep -q "^E:" "$work/lintian.txt"; then
        fail "lintian finds errors:"; grep "^E:" "$work/lintian.txt"
    else
        pass
    fi
    grep "^W:" "$work/lintian.txt" | sed 's/^/lintian: /'
else
    echo "lintian is not installed here: not run"
fi

tally
