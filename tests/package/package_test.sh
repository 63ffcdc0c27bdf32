#!/usr/bin/env bash
# package_test.sh BUILD_DIR: builds the Debian package from BUILD_DIR, unpacks it into a
# scratch root and checks its files, its declared dependencies, the desktop entry, the
# AppStream metadata, and that lintian finds no error.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/out/postsift_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"

for file in usr/bin/postsift usr/bin/postsift-cli \
            usr/share/applications/org.postsift.Postsift.desktop \
            usr/share/icons/hicolor/scalable/apps/org.postsift.Postsift.svg \
            usr/share/metainfo/org.postsift.Postsift.metainfo.xml \
            usr/share/man/man1/postsift.1.gz usr/share/man/man1/postsift-cli.1.gz \
            usr/share/postsift/help/manual.htm usr/share/postsift/help/mainwindow.png \
            usr/lib/systemd/user/postsift-filter.service usr/lib/systemd/user/postsift-filter.timer \
            usr/share/doc/postsift/copyright usr/share/doc/postsift/changelog.gz; do
  [ -e "$work/root/$file" ] || { echo "missing: /$file" >&2; exit 1; }
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for library in libqt6widgets6 libqt6network6 libgmime-3.0-0 zlib1g; do
  grep -q "$library" <<<"$depends" || { echo "not declared: $library" >&2; exit 1; }
done

echo "desktop-file-validate:"
desktop-file-validate "$work/root/usr/share/applications/org.postsift.Postsift.desktop"
echo "appstreamcli validate:"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.postsift.Postsift.metainfo.xml"
echo "lintian (errors fail):"
lintian --fail-on error "$deb" | tee "$work/lintian.log" || {
  echo "lintian found errors" >&2
  exit 1
}
echo "package: ok"
