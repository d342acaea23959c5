#!/usr/bin/env bash
# Makes the Debian package and checks it with the ecosystem's own tools: desktop-file-validate and
# appstreamcli on the desktop metadata, groff's warnings on the manual page, lintian on the package
# (an error fails; every warning must be explained in packaging/README.md). Then it unpacks the
# package into a temporary root and runs the packaged program on the example request.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
quillmere_install_missing lintian desktop-file-utils appstream man-db groff-base dpkg-dev file

fail() {
  echo "check-package.sh: $*" >&2
  exit 1
}

deb=$("$QUILLMERE_ROOT/scripts/package.sh")
echo "Package: $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked"

# The metadata, as packaged.
desktop-file-validate "$unpacked/usr/share/applications/quillmere-bridge.desktop"
appstreamcli validate --no-net \
  "$unpacked/usr/share/metainfo/io.quillmere.CaptureOneBridge.metainfo.xml"
# validate-tree also checks that the component's launchable desktop entry is there.
appstreamcli validate-tree --no-net "$unpacked"
echo "Desktop entry and AppStream metadata: valid"

# The manual page, formatted as man-db formats it for a UTF-8 terminal, with every groff warning.
page=$unpacked/usr/share/man/man1/quillmere-bridge.1.gz
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
  fail "man cannot format the manual page:"$'\n'"$warnings"
[ -z "$warnings" ] || fail "the manual page draws warnings:"$'\n'"$warnings"
echo "Manual page: no warnings"

# lintian: errors fail; each warning is either fixed or explained in packaging/README.md.
lintian_out=$work/lintian.txt
lintian --fail-on error --tag-display-limit 0 "$deb" >"$lintian_out" 2>&1 || {
  cat "$lintian_out"
  fail "lintian reports errors"
}
cat "$lintian_out"
for tag in $(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$lintian_out" | sort -u); do
  grep -q -- "\`$tag\`" "$QUILLMERE_ROOT/packaging/README.md" ||
    fail "lintian warning $tag is not explained in packaging/README.md"
done
echo "lintian: no errors, every warning explained"

# One version everywhere: the program's, the changelog's newest entry, the AppStream release and
# the manual page's header all follow the package's (the project's version plus the Debian revision).
# Every run of the packaged program gets a minute at most (status 137 when it had to be killed): a
# hang fails the check instead of stalling CI until its own limit.
bridge=$unpacked/usr/bin/quillmere-bridge
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}
[ "$(timeout --signal=KILL 60 "$bridge" --version)" = "quillmere-bridge $upstream" ] ||
  fail "--version does not print the package's version $upstream"
zcat "$unpacked/usr/share/doc/quillmere-bridge/changelog.Debian.gz" | head -n 1 |
  grep -qF "quillmere-bridge ($version)" || fail "packaging/changelog has no entry for $version"
grep -qF "<release version=\"$upstream\"" \
  "$unpacked/usr/share/metainfo/io.quillmere.CaptureOneBridge.metainfo.xml" ||
  fail "the AppStream metadata has no release $upstream"
zcat "$page" | grep -q "^\.TH .*\"quillmere-bridge $upstream\"" ||
  fail "the manual page's header does not name version $upstream"
echo "Version $version: the same in the program, changelog, AppStream release and manual page"

# Two executables: the one users run answers request mode and --verify without the toolkit, and
# hands window mode to the window executable in the package's private folder, found from its own
# place. Neither its needed libraries nor what the loader loads for --version name a Qt library.
window=$unpacked/usr/libexec/quillmere-bridge/quillmere-bridge-window
[ -f "$window" ] && [ -x "$window" ] || fail "the window executable $window is not installed"
needed=$(ldd "$bridge") || fail "ldd cannot read $bridge"
! grep -q 'libQt6' <<<"$needed" || fail "quillmere-bridge loads a Qt library:"$'\n'"$needed"
grep -q 'libQt6Widgets' <<<"$(ldd "$window")" || fail "the window executable links no Qt Widgets"
loaded=$(env -i PATH=/usr/bin:/bin LD_DEBUG=libs timeout --signal=KILL 60 "$bridge" --version 2>&1 >/dev/null)
grep -q 'libc\.so' <<<"$loaded" || fail "the loader's report of --version is empty"
! grep -q 'libQt6' <<<"$loaded" || fail "--version loads a Qt library"
# Without a display the window executable answers with its one line, which only it can write.
status=0
out=$(env -i PATH=/usr/bin:/bin timeout --signal=KILL 60 "$bridge" 2>&1) || status=$?
[ "$status" -eq 1 ] && [ "$out" = "无法打开图形界面的显示器；没有图形界面时，请使用请求模式：quillmere-bridge --request 请求文件 结果文件。" ] ||
  fail "window mode without a display did not reach the window executable (status $status): $out"
echo "Executables: quillmere-bridge loads no Qt library and hands window mode to $(basename "$window")"

# The packaged program runs the example request (whose paths are relative to the project root) in
# a copy of the examples.
# The program reports the destination through the current directory, so symbolic links in the
# temporary folder's path are resolved here too before comparing.
project=$(realpath "$work")/project
mkdir -p "$project/examples/batches"
cp -R "$QUILLMERE_ROOT/examples/originals" "$QUILLMERE_ROOT/examples/renders" \
  "$QUILLMERE_ROOT/examples/request.json" "$project/examples/"
status=0
(cd "$project" && env -i PATH=/usr/bin:/bin timeout --signal=KILL 60 "$bridge" \
  --request examples/request.json result.json) ||
  status=$?
[ "$status" -eq 0 ] || fail "request mode exited with status $status"
directory=$(perl -MJSON::PP -e '
  local $/; my $result = decode_json(<STDIN>);
  die "count is not 3\n" unless ($result->{count} // -1) == 3;
  die "the result carries an error: $result->{error}\n" if exists $result->{error};
  print $result->{directory};' <"$project/result.json") || fail "unexpected result: $(cat "$project/result.json")"
[ -d "$directory" ] || fail "the batch folder $directory does not exist"
case "$directory" in
  "$project/examples/batches/Quillmere-"*) ;;
  *) fail "the batch folder $directory is not inside the request's destination" ;;
esac
[ -f "$directory/.quillmere-manifest.json" ] || fail "the batch folder has no manifest"
renders=$(find "$directory" -mindepth 1 -maxdepth 1 -type f ! -name .quillmere-manifest.json | wc -l)
[ "$renders" -eq 3 ] || fail "the batch folder holds $renders renders, not 3"
echo "Packaged program: example request saved a batch of 3"

# The packaged program verifies the batch it saved: as it is (status 0, one summary line, the JSON
# result), leaving every file as it was, then a copy with one render damaged (status 1, naming it).
contents() { (cd "$1" && find . -printf '%p %s %T@\n' | sort && sha256sum .quillmere-manifest.json ./*.*); }
before=$(contents "$directory")
status=0
out=$(cd "$project" && env -i PATH=/usr/bin:/bin "$bridge" --verify "$directory" 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "--verify of the saved batch exited with status $status: $out"
[ "$out" = "核对完毕：3 张照片都与传输清单一致。" ] || fail "--verify printed: $out"
status=0
(cd "$project" && env -i PATH=/usr/bin:/bin "$bridge" --verify "$directory" verify.json) || status=$?
[ "$status" -eq 0 ] || fail "--verify with a result file exited with status $status"
[ "$(cat "$project/verify.json")" = '{"count":3,"problems":[]}' ] ||
  fail "unexpected verify result: $(cat "$project/verify.json")"
[ "$(contents "$directory")" = "$before" ] || fail "--verify changed the batch folder"
# Copied under its own name: the folder's name carries the batch's identifier.
mkdir "$work/damaged"
damaged=$work/damaged/$(basename "$directory")
cp -R "$directory" "$damaged"
render=$(cd "$damaged" && ls ./*.png)
render=${render#./}
printf 'x' >>"$damaged/$render"
status=0
out=$(env -i PATH=/usr/bin:/bin "$bridge" --verify "$damaged" 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "--verify of a damaged batch exited with status $status: $out"
[ "$out" = "$render：照片内容与传输清单记录的不一致，文件已损坏或被改动。"$'\n'"核对完毕：批次共 3 张照片，发现 1 个问题。" ] ||
  fail "--verify of a damaged batch printed: $out"
echo "Packaged program: --verify confirms the batch, and finds a damaged render"
