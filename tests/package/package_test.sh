#!/bin/bash
# Builds the .deb from the build's program and checks it as a station would
# meet it:
#  - its contents, dependencies and lint (no lintian error);
#  - installed with dpkg into a copy-on-write copy of this system (an overlay
#    over / in a private mount namespace, entered with chroot), the vantorel
#    user in the audio group, /var/lib/vantorel owned by it, the unit
#    installed but not enabled, and accepted by systemd-analyze verify;
#    installed a second time, then purged (the user goes, the recordings stay);
#  - the unit's exposure score by systemd-analyze security.
# Where no overlay can be mounted (no privileges), the installation is checked
# with dpkg --root instead, without the maintainer scripts.
#   package_test.sh <source dir> <build dir>
set -euo pipefail
SRC=$1
BUILD=$2
WORK=$(mktemp -d /tmp/vt-package-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DEB=$("$SRC/scripts/package" "$BUILD" "$WORK/out")
[ -f "$DEB" ] || fail "no package made"

contents=$(dpkg-deb --contents "$DEB")
for f in ./usr/bin/vantorel ./lib/systemd/system/vantorel.service ./usr/share/doc/vantorel/copyright \
         ./usr/share/doc/vantorel/changelog.gz; do
  grep -q " $f\$" <<<"$contents" || fail "$f is not in the package"
done
depends=$(dpkg-deb --field "$DEB" Depends)
for d in adduser libqt6core6 libsqlite3-0 libsystemd0; do
  grep -q "\b$d\b" <<<"$depends" || fail "Depends lacks $d: $depends"
done
grep -q lame <<<"$(dpkg-deb --field "$DEB" Recommends)" || fail "the encoders are not recommended"
lintian --fail-on error --suppress-tags no-manual-page "$DEB" || fail "lintian reports errors"

echo "exposure: $(systemd-analyze security --offline=true "$SRC/contrib/vantorel.service" 2>/dev/null | tail -1)"
score=$(systemd-analyze security --offline=true --threshold=50 "$SRC/contrib/vantorel.service" 2>/dev/null |
        sed -n 's/.*exposure level for vantorel.service: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || fail "no exposure score"
awk -v s="$score" 'BEGIN { exit !(s <= 5.0) }' || fail "the unit's exposure grew to $score"

in_copy() {  # runs the script on stdin as root in a throw-away copy of this system
  cat > "$WORK/inside.sh"
  unshare -m --propagation private bash -s "$WORK" <<'OUTER'
set -euo pipefail
W=$1
mkdir -p "$W/upper" "$W/work" "$W/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$W/upper,workdir=$W/work" "$W/root"
mount -t proc proc "$W/root/proc"
mount --rbind /dev "$W/root/dev"
mount -t tmpfs tmpfs "$W/root/tmp"
mount -t tmpfs tmpfs "$W/root/run"
cp "$W"/out/*.deb "$W/root/tmp/vantorel.deb"
cp "$W/inside.sh" "$W/root/tmp/inside.sh"
chroot "$W/root" /bin/bash /tmp/inside.sh
OUTER
}

if unshare -m --propagation private true 2>/dev/null &&
   unshare -m --propagation private bash -c "mkdir -p '$WORK/p/u' '$WORK/p/w' '$WORK/p/m' &&
     mount -t overlay overlay -o lowerdir=/,upperdir='$WORK/p/u',workdir='$WORK/p/w' '$WORK/p/m'" 2>/dev/null; then
  in_copy <<'INSIDE'
set -euo pipefail
fail() { echo "FAIL (installed): $*" >&2; exit 1; }
! getent passwd vantorel >/dev/null || fail "the copy has a vantorel user before the installation"
dpkg -i /tmp/vantorel.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i failed"; }
IFS=: read -r _ _ uid _ _ home shell <<<"$(getent passwd vantorel)"
[ "$uid" -lt 1000 ] || fail "vantorel is not a system user (uid $uid)"
[ "$home" = /var/lib/vantorel ] || fail "home is $home"
case "$shell" in */nologin|*/false) ;; *) fail "vantorel has a login shell $shell" ;; esac
id -nG vantorel | grep -qw audio || fail "vantorel is not in the audio group: $(id -nG vantorel)"
[ "$(stat -c '%U:%G %a' /var/lib/vantorel)" = "vantorel:vantorel 750" ] ||
  fail "/var/lib/vantorel is $(stat -c '%U:%G %a' /var/lib/vantorel)"
[ "$(systemctl is-enabled vantorel.service 2>/dev/null || true)" = disabled ] ||
  fail "the unit is enabled on installation: $(systemctl is-enabled vantorel.service 2>&1 || true)"
systemd-analyze verify /lib/systemd/system/vantorel.service || fail "systemd-analyze verify"
ldd /usr/bin/vantorel | grep -q "not found" && fail "unresolved libraries: $(ldd /usr/bin/vantorel | grep 'not found')"
echo "recording" > /var/lib/vantorel/kept.wav
dpkg -i /tmp/vantorel.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "a second installation failed"; }
dpkg --purge vantorel >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg --purge failed"; }
! getent passwd vantorel >/dev/null || fail "the user is left after purge"
[ -f /var/lib/vantorel/kept.wav ] || fail "purge deleted the recordings"
[ ! -e /usr/bin/vantorel ] || fail "the program is left after purge"
echo "installed, checked and purged in a copy of this system"
INSIDE
else
  root=$WORK/dpkgroot
  mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
  : > "$root/var/lib/dpkg/status"
  dpkg --root="$root" --force-depends --unpack "$DEB" >/dev/null || fail "dpkg --root --unpack failed"
  [ -x "$root/usr/bin/vantorel" ] || fail "no program after unpacking"
  grep -q '^ExecStart=/usr/bin/vantorel ' "$root/lib/systemd/system/vantorel.service" || fail "unit not unpacked"
  echo "no overlay here: unpacked with dpkg --root only (maintainer scripts not run)"
fi
echo "package test passed"
