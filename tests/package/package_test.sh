#!/bin/sh
# The Debian package from build to purge: cpack builds it from BUILD_DIR; its
# fields, files, run paths and changelog are checked and lintian reports no
# error.  Then, in private mount, network and process namespaces whose /opt,
# /etc, /usr and /var/lib/dpkg are overlays on a tmpfs (/tmp, /var/log and
# /var/cache fresh tmpfs), so the machine stays as it was: dpkg -i, the
# program started as the autostart entry says, "VideoStatus" answered, the
# library's version read back, dpkg -r and dpkg -P each leaving no file of the
# package, the user's files under HOME untouched.
# Needs root; exits 77 (skipped) otherwise.  Usage: package_test.sh BUILD_DIR VERSION
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)
build=$(cd "$1" && pwd -P)
version=$2
work=$build/tests/package/work
deb=$work/kobix-web_${version}_amd64.deb
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: the package test needs root (dpkg -i in private namespaces)"; exit 77; }

if [ "${KOBIX_PACKAGE_NS:-}" != 1 ]; then
  rm -rf "$work" && mkdir -p "$work"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  for f in "Package kobix-web" "Version $version" "Architecture amd64"; do
    [ "$(dpkg-deb -f "$deb" "${f% *}")" = "${f#* }" ] || fail "${f% *}: $(dpkg-deb -f "$deb" "${f% *}")"
  done
  # Depends as dpkg-shlibdeps found it: one library each binary links.
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in libqt5websockets5 libcurl4 libudev1 libcjson1 libopencv-imgproc406 libpoppler-glib8; do
    echo "$depends" | grep -q "\\b$lib\\b" || fail "Depends lacks $lib: $depends"
  done
  # No maintainer scripts, no system service.
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'inst|rm$' && fail "maintainer scripts"
  dpkg-deb -c "$deb" >"$work/contents"
  sed -n 's,^\([^ ]*  *\)\{5\}\./\([^ ]*\).*,\2,p' "$work/contents" | sed 's,/$,,' | grep . >"$work/paths"
  grep -E 'systemd|init\.d' "$work/paths" && fail "system service in the package"
  p=opt/velmora/camera d=usr/share/doc/kobix-web
  for f in $p/bin/kobix-web $p/lib/libZarnKobixManager.so $p/lib/algorithm/libZarnImage.so \
           $p/lib/file/libZarnFileManager.so $p/web/demo.html $p/web/kobix-camera.js \
           usr/share/applications/kobix-web.desktop usr/share/icons/hicolor/64x64/apps/kobix-web.png \
           $d/copyright $d/changelog.gz $d/README.md $d/docs/service.md; do
    grep -qx "$f" "$work/paths" || fail "package lacks /$f"
  done
  grep -q '^l.* \./etc/xdg/autostart/kobix-web.desktop -> /usr/share/applications/kobix-web.desktop$' \
    "$work/contents" || fail "autostart entry is not the link to the desktop entry"
  dpkg-deb -x "$deb" "$work/root"
  runpath() { readelf -d "$work/root/$p/$1" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p'; }
  l=/opt/velmora/camera/lib
  [ "$(runpath bin/kobix-web)" = "./:$l/algorithm:$l/nopoll:$l/file" ] || fail "kobix-web run path: $(runpath bin/kobix-web)"
  [ "$(runpath lib/libZarnKobixManager.so)" = "./:$l/file:$l/algorithm" ] ||
    fail "camera library run path: $(runpath lib/libZarnKobixManager.so)"
  zcat "$work/root/$d/changelog.gz" | head -1 | grep -q "^kobix-web ($version) " || fail "changelog's latest entry is not $version"
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian reports errors"; }
  cat "$work/lintian.log"
  export KOBIX_PACKAGE_NS=1
  exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private "$0" "$@"
fi

# Inside.  Scratch space on /mnt, which no mount below covers (the build and
# source trees may lie under /tmp or /opt).
ns=/mnt
mount -t tmpfs -o mode=0755 tmpfs "$ns"
cp "$deb" "$work/paths" "$here/vstatus.py" "$ns/"
deb=$ns/$(basename "$deb")
for dir in /opt /etc /usr /var/lib/dpkg; do
  layer=$ns/$(echo "$dir" | tr / _)
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
done
for dir in /tmp /var/log /var/cache; do mount -t tmpfs tmpfs "$dir"; done
chmod 1777 /tmp
ip link set lo up

# Paths of the package that were there before (/usr/share...) stay; every
# other one must go with it.
while read -r f; do [ ! -e "/$f" ] || echo "$f"; done <"$ns/paths" >"$ns/before"
left_behind() {
  while read -r f; do
    grep -qx "$f" "$ns/before" || { [ ! -e "/$f" ] && [ ! -L "/$f" ]; } || echo "/$f"
  done <"$ns/paths"
}
run() { "$@" >"$ns/log" 2>&1 || { cat "$ns/log"; fail "$*"; }; }

run dpkg -i "$deb"
[ "$(dpkg-query -W -f='${Status} ${Version}' kobix-web)" = "install ok installed $version" ] || fail "dpkg-query"
[ -n "$(left_behind)" ] || fail "the package's files are not where its file list says"
lib_version=$(/usr/bin/python3 -c 'import ctypes
b = ctypes.create_string_buffer(32)
ctypes.CDLL("/opt/velmora/camera/lib/libZarnKobixManager.so").ZarnCamera_GetVersion(b, 32)
print(b.value.decode())')
[ "$lib_version" = "$version" ] || fail "ZarnCamera_GetVersion says $lib_version"

# As a desktop session starts it: the autostart entry's command in its
# working directory, for a user with a HOME of their own.
entry=/etc/xdg/autostart/kobix-web.desktop
export HOME=/tmp/home QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
(cd "$(sed -n 's/^Path=//p' $entry)" && exec $(sed -n 's/^Exec=//p' $entry)) >"$ns/service.log" 2>&1 &
service=$!
/usr/bin/python3 "$ns/vstatus.py" 30 || { cat "$ns/service.log"; fail "no answer to VideoStatus"; }
grep -qx "kobix-web $version" "$ns/service.log" || { cat "$ns/service.log"; fail "startup line"; }
kill "$service"; wait "$service" || true
[ -n "$(ls -A "$HOME/.ZARN/kobix-web/Log")" ] || fail "the service wrote no log under HOME"
touch "$HOME/user-file"

run dpkg -r kobix-web
[ -z "$(left_behind)" ] || fail "left behind by dpkg -r: $(left_behind)"
run dpkg -P kobix-web
[ -z "$(left_behind)" ] || fail "left behind by dpkg -P: $(left_behind)"
[ -z "$(dpkg-query -W -f='${Status}' kobix-web 2>/dev/null | grep -v not-installed)" ] || fail "dpkg still has it"
! ls /var/lib/dpkg/info/kobix-web.* 2>/dev/null || fail "dpkg's records of kobix-web remain"
[ -n "$(ls -A "$HOME/.ZARN/kobix-web/Log")" ] && [ -f "$HOME/user-file" ] || fail "files under HOME were touched"
echo "PASS: kobix-web $version built, checked, installed, answered, removed and purged"
