#!/usr/bin/env bash
# Checks the Debian package that `make package` built, the way a user meets it:
# its file list and fields, the desktop entry and AppStream data as validators
# see them, lintian, and the unpacked program started as an ordinary user.
# usage: scripts/check-package.sh <builddir>
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
for tool in dpkg-deb desktop-file-validate appstreamcli lintian file setpriv Xvfb xdotool xprop; do
  command -v "$tool" >/dev/null || { echo "check-package: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

failures=0
fail() { echo "check-package: FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "check-package: ok: $*"; }
# check WHAT COMMAND...: passes or fails WHAT by the command's exit status.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# The one version: project() in CMakeLists.txt, as CMake recorded it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "check-package: no project version in $build/CMakeCache.txt" >&2; exit 1; }
deb="$build/dovetrail_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "check-package: $deb is missing (make package)" >&2; exit 1; }
echo "check-package: $deb"

source "$(dirname "${BASH_SOURCE[0]}")/work-folder.sh"
# The unpacked tree is read by the ordinary user below.
chmod 755 "$work"

# --- Fields and control files -----------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check "package dovetrail $version (found $(field Package) $(field Version))" \
  test "$(field Package)" = dovetrail -a "$(field Version)" = "$version"
for name in Maintainer Section Priority Description Homepage; do
  [ -n "$(field "$name")" ] || fail "no $name field"
done
# Dependencies computed from the program's shared libraries.
depends=$(field Depends)
check "Depends from the shared libraries: $depends" \
  grep -qE 'libqt6widgets6.*libcurl4|libcurl4.*libqt6widgets6' <<<"$depends"
check "Depends names the workbook library" grep -q 'libxlsxwriter4' <<<"$depends"
check "Depends names SQLite, the results file's library" grep -q 'libsqlite3-0' <<<"$depends"
dpkg-deb -e "$deb" "$work/control"
for trigger in /usr/share/icons/hicolor /usr/share/applications; do
  grep -qx "activate-noawait $trigger" "$work/control/triggers" 2>/dev/null || fail "no trigger for $trigger"
done
for script in preinst postinst prerm postrm; do
  [ ! -e "$work/control/$script" ] || fail "maintainer script $script (triggers serve)"
done

# --- File list ----------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's#^\./#/#' >"$work/files"
metainfo=$(grep -E '^/usr/share/metainfo/[^/]+\.metainfo\.xml$' "$work/files" || true)
if [ "$(printf '%s\n' "$metainfo" | grep -c .)" -ne 1 ]; then
  fail "expected one AppStream file, found: ${metainfo:-none}"
  exit 1
fi
appid=$(basename "$metainfo" .metainfo.xml)
expected=(/usr/bin/dovetrail "/usr/share/applications/$appid.desktop" "$metainfo"
          /usr/share/doc/dovetrail/copyright /usr/share/doc/dovetrail/README.md
          /usr/lib/systemd/user/dovetrail-follow.service)
for size in 16 24 32 48; do expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/$appid.png"); done
before=$failures
for path in "${expected[@]}"; do
  grep -qxF "$path" "$work/files" || fail "not in the package: $path"
done
if grep -q '^/usr/local/' "$work/files"; then fail "files under /usr/local"; fi
[ "$failures" -ne "$before" ] || pass "file list (application id $appid)"

# --- Contents -----------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop="$root/usr/share/applications/$appid.desktop"
for size in 16 24 32 48; do
  png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$appid.png"
  file -b "$png" | grep -q "^PNG image data, $size x $size, 8-bit/color RGBA" ||
    fail "icon ${size}x${size}: $(file -b "$png")"
done
check "desktop-file-validate" desktop-file-validate "$desktop"
grep -qx "Icon=$appid" "$desktop" || fail "the desktop entry names another icon"
check "appstreamcli validate" appstreamcli validate --no-net --pedantic "$root$metainfo"
# The tree as a whole: the component's launchable and icon are in the package.
check "appstreamcli validate-tree" appstreamcli validate-tree --no-net --pedantic "$root"
grep -q "<id>$appid</id>" "$root$metainfo" || fail "AppStream id differs from the file name"
check "AppStream release $version" grep -q "<release version=\"$version\"" "$root$metainfo"

# --- lintian ------------------------------------------------------------------
# Errors fail the check; warnings and notes are shown.
if lintian --fail-on error --display-info "$deb" >"$work/lintian" 2>&1; then
  pass "lintian: no error"
else
  fail "lintian reports errors"
fi
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  lintian: /' || true

# --- The unpacked program as an ordinary user -----------------------------------
# Under root (CI), nobody/nogroup; otherwise the calling user, already ordinary.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
user_folder() {
  mkdir -p "$1"
  chmod 700 "$1"
  [ "$(id -u)" -ne 0 ] || chown 65534:65534 "$1"
}
user_folder "$work/home"
user_folder "$work/tmp"
# A clean environment: a writable HOME, a private TMPDIR, no XDG_RUNTIME_DIR
# (so the one-copy lock and socket go to the home's cache folder), no session
# of the caller's.
run_env=(env -i "PATH=/usr/bin:/bin" "HOME=$work/home" "TMPDIR=$work/tmp" "LANG=C.UTF-8")
program="$root/usr/bin/dovetrail"
sockets="$work/home/.cache/dovetrail"

# Waits up to $2 tenths of a second for process $1 to end; sets code to its
# exit code, or to "timeout".
wait_exit() {
  local pid=$1 tenths=$2
  for _ in $(seq "$tenths"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    code=timeout
    return
  fi
  code=0
  wait "$pid" || code=$?
}

# 1. Offscreen: the program comes up, serves its one-copy socket, and a second
#    start is answered and ends with 0.
"${as_user[@]}" "${run_env[@]}" QT_QPA_PLATFORM=offscreen "$program" >"$work/offscreen.log" 2>&1 &
first=$!
pids+=("$first")
for _ in $(seq 200); do
  [ -n "$(find "$sockets" -maxdepth 1 -type s 2>/dev/null)" ] && break
  kill -0 "$first" 2>/dev/null || break
  sleep 0.1
done
sleep 1
if kill -0 "$first" 2>/dev/null && [ -n "$(find "$sockets" -maxdepth 1 -type s 2>/dev/null)" ]; then
  pass "offscreen start as $("${as_user[@]}" id -un)"
  "${as_user[@]}" "${run_env[@]}" QT_QPA_PLATFORM=offscreen "$program" >>"$work/offscreen.log" 2>&1 &
  second=$!
  wait_exit "$second" 150
  check "a second copy ends with 0 (got $code)" test "$code" = 0
else
  fail "the program did not come up offscreen"
  sed 's/^/  dovetrail: /' "$work/offscreen.log"
fi
# A termination signal (a logout) closes the window as its close box does.
kill "$first" 2>/dev/null || true
wait_exit "$first" 100
check "a termination signal ends the program with 0 (got $code)" test "$code" = 0

# 2. On a virtual X server: the window's class is the desktop entry's
#    StartupWMClass, and Esc in the window (its close request) saves the
#    settings and ends the program with 0.
wmclass=$(sed -n 's/^StartupWMClass=//p' "$desktop")
[ -n "$wmclass" ] || fail "the desktop entry has no StartupWMClass"
"${as_user[@]}" Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/tmp/display" 2>/dev/null &
pids+=("$!")
for _ in $(seq 100); do [ -s "$work/tmp/display" ] && break; sleep 0.1; done
display=":$(head -n 1 "$work/tmp/display")"
x=("${as_user[@]}" "${run_env[@]}" "DISPLAY=$display")
"${x[@]}" QT_QPA_PLATFORM=xcb "$program" >"$work/x.log" 2>&1 &
app=$!
pids+=("$app")
# The program's main window, found by its process and title.
window=$("${x[@]}" timeout 20 xdotool search --sync --all --pid "$app" --name '^Dovetrail' 2>/dev/null | head -n 1 || true)
if [ -n "$window" ]; then
  # Desktops match the class exactly (xdotool's search ignores case).
  class=$("${x[@]}" xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\(.*\)"$/\1/p')
  check "window class '$class' is the desktop entry's '$wmclass'" test "$class" = "$wmclass"
  sleep 1
  "${x[@]}" xdotool windowfocus --sync "$window" key Escape
  wait_exit "$app" 100
  check "Esc closes the program with 0 (got $code)" test "$code" = 0
  check "the close saved the settings in the user's documents" test -s "$work/home/Documents/Quorle.ini"
else
  fail "no window"
  sed 's/^/  dovetrail: /' "$work/x.log"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-package: $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: all checks passed"
