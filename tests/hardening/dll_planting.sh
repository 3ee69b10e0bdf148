#!/bin/sh
# Plants marker DLLs under the names of the system DLLs the setup uses beside a
# copy of it, tells Wine to prefer such native DLLs, runs the setup for a few
# seconds (it opens its window and starts its server check) and checks that no
# marker was loaded. A probe built without the protection must load one.
#   dll_planting.sh SETUP_EXE MARKER_DLL PROBE_EXE
set -eu
setup=$1; marker=$2; probe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The names the setup itself imports. Not the dependencies of those system
# DLLs: on Windows they come from System32 under the restricted search, while
# Wine's builtin DLLs look for their own (version, imm32, crypt32, and bcrypt
# through crypt32) beside the program whatever it does, which says nothing
# about the setup. bcrypt is therefore left out here as well.
names="winhttp d3d11 dxgi dwmapi d3dcompiler_47 oleacc"

export WINEDEBUG=-all LANG=C.UTF-8
overrides=""
for n in $names; do overrides="$overrides$n,"; done
export WINEDLLOVERRIDES="${overrides%,}=n,b;mscoree,mshtml=;winemenubuilder.exe=d"

# A prefix of its own: Wine's desktop process belongs to the first program of a
# prefix and keeps that program's display, so a prefix shared with tests that
# run without one would have no window driver.
cp -a "$WINEPREFIX" "$work/prefix"
export WINEPREFIX="$work/prefix"

mkdir "$work/downloads" "$work/data"
cp "$setup" "$work/downloads/Ostrel Setup.exe"
for n in $names; do cp "$marker" "$work/downloads/$n.dll"; done

# A display of our own (-displayfd picks a free number without races).
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for i in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
trap 'wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT

# The setup: a refused server address keeps it on its first page.
wine "$work/downloads/Ostrel Setup.exe" --server http://127.0.0.1:9 --data 'C:\ostrel-dll-planting' \
  >"$work/setup.log" 2>&1 </dev/null &
pid=$!
sleep 10
# Still running means it got past the window, the device and the first frames.
if kill -0 "$pid" 2>/dev/null; then running=yes; else running=""; fi
kill "$pid" 2>/dev/null || true
rc=0; wait "$pid" 2>/dev/null || rc=$?
if [ -z "$running" ]; then
  echo "FAIL: the setup did not stay up (exit code $rc); its output:"
  cat "$work/setup.log"
  exit 1
fi

loaded=$(ls "$work/downloads" | grep '\.loaded$' || true)
if [ -n "$loaded" ]; then
  echo "FAIL: the setup loaded planted DLLs: $loaded"
  exit 1
fi
echo "setup: no planted DLL loaded"

# The control: an ordinary program in the same folder does load the planted winhttp.dll.
cp "$probe" "$work/downloads/probe.exe"
wine "$work/downloads/probe.exe" >"$work/probe.log" 2>&1 </dev/null || true
# (the marker takes the name the importer asked for: WINHTTP.dll)
if ! ls "$work/downloads" | grep -qi '^winhttp\.dll\.loaded$'; then
  echo "FAIL: the unprotected probe did not load the planted winhttp.dll: the test cannot see loads"
  exit 1
fi
echo "unprotected probe: planted winhttp.dll loaded, as expected"
