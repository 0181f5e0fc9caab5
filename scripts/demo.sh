#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The demo: starts zelk-server on a free loopback port, runs the example host (identify,
# attach, background and back, detach), then the road of a challenge with two devices of one
# user on a project that allows one device, and last the challenge screens walked through
# without a person, each screen printed as text, the same walk by hosts in C and on the JVM over
# the C interface, and the same road drawn by the Qt Quick module
# off screen, then the screen of the user's own devices, with a picture of every screen and state
# written to a folder it names (ZELK_GALLERY_DIR, else gallery/ in the build folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/plain}
# The test suite runs the demo on the build it has just made (ZELK_DEMO_PREBUILT=1).
[ -n "${ZELK_DEMO_PREBUILT:-}" ] || BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null

# zelk-server keeps its records in SQLite in a folder of its own, with the sandbox hooks on (the
# challenge walk reads the code it sends); the projects are set up through its admin command.
work=$(mktemp -d)
log=$work/server.log
"$build/server/zelk-server" --sandbox --data "$work/zelk.db" --listen 127.0.0.1:0 \
  --admin-token-file "$work/admin-token" --log-format none >"$log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  grep -q "listening on" "$log" && break
  sleep 0.05
done
url=$(sed -n 's/^zelk-server listening on //p' "$log" | head -n 1)
[ -n "$url" ] || { echo "demo: zelk-server did not start:" >&2; cat "$log" >&2; exit 1; }
echo "demo: zelk-server at $url, its records in $work/zelk.db"
admin() {
  "$build/server/zelk-server" admin --url "$url" --token-file "$work/admin-token" "$@" >/dev/null
}

echo
echo "== a host attaches, identifies, goes to the background and back, and detaches"
"$build/examples/zelk-example-host" --base-url "$url" 2>/dev/null

echo
echo "== the road of a challenge: project \"road-demo\" allows one device"
admin project --client-id road-demo --name "Road Demo" --overall-limit 1 \
  --logo "$url/_sandbox/logo.png"
"$build/examples/zelk-example-challenge" --base-url "$url" --client-id road-demo 2>/dev/null

# A project that allows one device (one mobile, one tablet) and asks for verification, with the
# sandbox's demo logo, and its user alice with an e-mail address.
verifying_project() {
  admin project --client-id "$1" --name "$2" --overall-limit 1 --mobile-limit 1 --tablet-limit 1 \
    --computer-limit 0 --require-verification true --primary-color "#0A7E5C" \
    --logo "$url/_sandbox/logo.png"
  admin user --client-id "$1" --user alice --email alice@example.com
}

echo
echo "== the challenge screens: \"screens-demo\" allows one device and asks for verification"
verifying_project screens-demo "Screens Demo"
echo "a tablet of alice's is attached already"
"$build/tools/cli/zelk" attach --base-url "$url" --client-id screens-demo --user alice \
  --vendor-id 7D444840-9DC0-11D1-B245-5FFDCE74FAD2 --model "iPad Air" >/dev/null
echo "this device attaches and walks through the challenge:"
"$build/tools/cli/zelk" challenge --walk --base-url "$url" --client-id screens-demo \
  --user alice 2>/dev/null

echo
echo "== the same road from plain C over the C interface: \"c-demo\" allows one device"
verifying_project c-demo "C Demo"
"$build/examples/zelk-example-c-host" --base-url "$url" --client-id c-demo --user alice 2>/dev/null

java_host="$build/examples/zelk-example-java-host.jar"
if [ -f "$java_host" ]; then
  echo
  echo "== and from the JVM over the JNI binding: \"java-demo\" allows one device"
  verifying_project java-demo "Java Demo"
  java -Djava.library.path="$build/bindings/java" -cp "$build/bindings/java/zelk.jar:$java_host" \
    JavaHost --base-url "$url" --client-id java-demo --user alice 2>/dev/null
fi

qt_host="$build/examples/qt-host/zelk-example-qt-host"
if [ -x "$qt_host" ] && [ -z "${ZELK_DEMO_SKIP_QT:-}" ]; then
  echo
  echo "== the challenge drawn with Qt Quick, off screen: \"qt-demo\" allows one device"
  verifying_project qt-demo "Road Atlas"
  gallery=${ZELK_GALLERY_DIR:-$build/gallery}
  settings=$(mktemp -d)  # the example's QSettings, thrown away afterwards
  # Under LeakSanitizer, Qt's own image cache is left alone (see the suppressions file).
  LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$root/tests/lsan-qt-host.supp \
    XDG_CONFIG_HOME=$settings QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    "$qt_host" --base-url "$url" --client-id qt-demo --user alice --gallery "$gallery" 2>/dev/null
  rm -rf "$settings"
  echo "demo: the pictures of every screen and state are in $gallery"
fi
