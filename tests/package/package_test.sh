#!/bin/sh
# The Debian package from build to purge:
#  1. cpack builds kobix-web_<version>_amd64.deb from BUILD_DIR;
#  2. its control fields, contents, run paths and changelog are checked and
#     lintian must report no error;
#  3. in private mount, network and process namespaces whose /opt, /etc, /usr
#     and /var/lib/dpkg are overlays on a tmpfs (and /tmp, /var/log,
#     /var/cache are fresh tmpfs), so the machine is left as it was: dpkg -i,
#     the program started as the desktop's autostart entry says, a
#     "VideoStatus" request answered, the library's version read back, then
#     dpkg -r and dpkg -P, each leaving no file of the package behind and the
#     user's files under HOME in place.
# Needs root; exits 77 (skipped) otherwise.
# Usage: package_test.sh BUILD_DIR VERSION
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)
build=$(cd "$1" && pwd -P)
version=$2
work=$build/tests/package/work
deb=$work/kobix-web_${version}_amd64.deb
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the package test needs root (dpkg -i inside private namespaces)"
  exit 77
fi

if [ "${KOBIX_PACKAGE_NS:-}" != 1 ]; then
  # ---- outside: build and inspect the package
  rm -rf "$work"
  mkdir -p "$work"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  [ -f "$deb" ] || fail "no $deb ($(ls "$work"))"

  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = kobix-web ] || fail "Package: $(field Package)"
  [ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
  [ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
  depends=$(field Depends)
  echo "Depends: $depends"
  # One library each installed binary links, as found by dpkg-shlibdeps.
  for lib in libqt5websockets5 libqt5widgets5 libcurl4 libudev1 libcjson1 libopencv-imgproc406 libpoppler-glib8 libtiff6; do
    echo "$depends" | grep -q "\\b$lib\\b" || fail "Depends lacks $lib"
  done
  # Nothing runs as a system daemon, nothing is done by maintainer scripts.
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'preinst|postinst|prerm|postrm' && fail "maintainer scripts"

  dpkg-deb -c "$deb" >"$work/contents"
  sed -n 's,^[^ ]*  *[^ ]*  *[^ ]*  *[^ ]*  *[^ ]*  *\./\([^ ]*\).*,\1,p' "$work/contents" |
    sed 's,/$,,' | grep -v '^$' >"$work/paths"
  prefix=opt/velmora/camera
  for p in $prefix/bin/kobix-web $prefix/lib/libZarnKobixManager.so \
           $prefix/lib/algorithm/libZarnImage.so $prefix/lib/file/libZarnFileManager.so \
           $prefix/web/demo.html $prefix/web/kobix-camera.js \
           usr/share/applications/kobix-web.desktop etc/xdg/autostart/kobix-web.desktop \
           usr/share/icons/hicolor/64x64/apps/kobix-web.png \
           usr/share/doc/kobix-web/copyright usr/share/doc/kobix-web/changelog.gz \
           usr/share/doc/kobix-web/README.md usr/share/doc/kobix-web/docs/service.md; do
    grep -qx "$p" "$work/paths" || fail "package lacks /$p"
  done
  grep -E 'lib/systemd|etc/init\.d|etc/systemd' "$work/paths" && fail "system service in the package"
  grep -q '^l.* \./etc/xdg/autostart/kobix-web.desktop -> /usr/share/applications/kobix-web.desktop$' \
    "$work/contents" || fail "autostart entry is not the link to the desktop entry"

  dpkg-deb -x "$deb" "$work/root"
  runpath() { readelf -d "$work/root/$prefix/$1" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p'; }
  [ "$(runpath bin/kobix-web)" = "./:/opt/velmora/camera/lib/algorithm:/opt/velmora/camera/lib/nopoll:/opt/velmora/camera/lib/file" ] ||
    fail "run path of kobix-web: $(runpath bin/kobix-web)"
  [ "$(runpath lib/libZarnKobixManager.so)" = "./:/opt/velmora/camera/lib/file:/opt/velmora/camera/lib/algorithm" ] ||
    fail "run path of the camera library: $(runpath lib/libZarnKobixManager.so)"
  changelog_version=$(zcat "$work/root/usr/share/doc/kobix-web/changelog.gz" | sed -n '1s/^kobix-web (\([^)]*\)).*/\1/p')
  [ "$changelog_version" = "$version" ] || fail "changelog's latest entry is $changelog_version, not $version"

  lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian reports errors"; }
  echo "lintian:"; cat "$work/lintian.log"

  export KOBIX_PACKAGE_NS=1
  exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
    "$0" "$@"
fi

# ---- inside the private namespaces
# The scratch space is a tmpfs on /mnt, which none of the mounts below
# covers (the build and source trees may lie under /tmp or /opt): the
# overlays' upper layers, the package, its file list and the client.
ns=/mnt
[ -d "$ns" ] || fail "no $ns to mount the scratch space on"
mount -t tmpfs -o mode=0755 tmpfs "$ns"
cp "$deb" "$work/paths" "$here/vstatus.py" "$ns/"
deb=$ns/$(basename "$deb")
for dir in /opt /etc /usr /var/lib/dpkg; do
  layer=$ns/$(echo "$dir" | tr / _)
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
done
for dir in /tmp /var/log /var/cache; do
  mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
chmod 1777 /tmp
ip link set lo up

# Which of the package's paths (directories such as /usr/share) were there
# before: those must stay, every other one must go with the package.
: >"$ns/before"
while read -r p; do
  if [ -e "/$p" ] || [ -L "/$p" ]; then echo "$p" >>"$ns/before"; fi
done <"$ns/paths"
left_behind() {
  while read -r p; do
    grep -qx "$p" "$ns/before" && continue
    if [ -e "/$p" ] || [ -L "/$p" ]; then echo "/$p"; fi
  done <"$ns/paths"
}

dpkg -i "$deb" >"$ns/dpkg-i.log" 2>&1 || { cat "$ns/dpkg-i.log"; fail "dpkg -i"; }
[ "$(dpkg-query -W -f='${Status} ${Version}' kobix-web)" = "install ok installed $version" ] ||
  fail "dpkg-query: $(dpkg-query -W -f='${Status} ${Version}' kobix-web)"
[ -n "$(left_behind)" ] || fail "the package's files are not where its file list says"

# The library as installed: its image and file libraries found through its
# run path, and its version.
lib_version=$(/usr/bin/python3 -c '
import ctypes
lib = ctypes.CDLL("/opt/velmora/camera/lib/libZarnKobixManager.so")
buf = ctypes.create_string_buffer(32)
lib.ZarnCamera_GetVersion(buf, len(buf))
print(buf.value.decode())')
[ "$lib_version" = "$version" ] || fail "ZarnCamera_GetVersion says $lib_version"

# Started as a desktop session starts it: the autostart entry's command in
# its working directory, for a user with a HOME of their own.
entry=/etc/xdg/autostart/kobix-web.desktop
command=$(sed -n 's/^Exec=//p' "$entry")
workdir=$(sed -n 's/^Path=//p' "$entry")
export HOME=/tmp/home QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
(cd "$workdir" && exec $command) >"$ns/service.log" 2>&1 &
service=$!
if ! /usr/bin/python3 "$ns/vstatus.py" 30; then
  cat "$ns/service.log"
  fail "no answer to VideoStatus"
fi
grep -qx "kobix-web $version" "$ns/service.log" || { cat "$ns/service.log"; fail "startup line"; }
kill "$service"
wait "$service" || true
[ -n "$(ls -A "$HOME/.ZARN/kobix-web/Log")" ] || fail "the service wrote no log under HOME"
echo "user-file" >"$HOME/.config-check"

dpkg -r kobix-web >"$ns/dpkg-r.log" 2>&1 || { cat "$ns/dpkg-r.log"; fail "dpkg -r"; }
left=$(left_behind)
[ -z "$left" ] || fail "left behind by dpkg -r: $left"
dpkg -P kobix-web >"$ns/dpkg-p.log" 2>&1 || { cat "$ns/dpkg-p.log"; fail "dpkg -P"; }
left=$(left_behind)
[ -z "$left" ] || fail "left behind by dpkg -P: $left"
[ -z "$(dpkg-query -W -f='${Status}' kobix-web 2>/dev/null | grep -v 'not-installed')" ] ||
  fail "dpkg still knows kobix-web: $(dpkg-query -W -f='${Status}' kobix-web)"
ls /var/lib/dpkg/info/kobix-web.* 2>/dev/null && fail "dpkg's records of kobix-web remain"
[ -n "$(ls -A "$HOME/.ZARN/kobix-web/Log")" ] && [ -f "$HOME/.config-check" ] ||
  fail "files under HOME were touched"
echo "PASS: kobix-web $version built, checked, installed, answered, removed and purged"
