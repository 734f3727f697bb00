#!/usr/bin/env bash
# The updater's main job against a local demo server: builds the updater for
# a server on 127.0.0.1, publishes a small demo release with brindax-publish on
# a local FTP server (Debian's pyftpdlib) in a temporary folder, and walks through a first
# install, checks and a partial update, printing each step and exit code.
# Stops the server and removes its temporary files at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

python=/usr/bin/python3
user=vantorel
password=Zi3zEr8Iz5
remote_dir=public_html/source/Kelmor

# A free loopback port for the demo server; the updater gets it built in.
port=$($python -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
build=build/demo
echo "== Building the updater for the demo server at 127.0.0.1:$port, and the publisher's tool"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDAX_BUILD_TESTS=OFF \
  -DBRINDAX_FTP_HOST=127.0.0.1 -DBRINDAX_FTP_PORT="$port" >/dev/null
cmake --build "$build" --target brindax-updater brindax-publish -j "$(nproc)" >/dev/null
updater="$top/$build/bin/brindax-updater"
publisher="$top/$build/bin/brindax-publish"

work=$(mktemp -d /tmp/brindax-demo.XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

root="$work/ftp"
release="$work/release"
install="$work/Brindax"
mkdir -p "$root/$remote_dir" "$release" "$install"

# publish <version of Brindax.exe> <version of data/levels.txt> [extra file]
# Makes the release folder and publishes it with brindax-publish, against the
# release on the server when there is one (so no record ever shifts).
publish() {
  local app_version=$1 levels_version=$2 extra=${3:-}
  rm -rf "$release" && mkdir -p "$release/data" "$release/docs"
  cat > "$release/Brindax.exe" <<APP
#!/bin/sh
echo "Brindax demo application $app_version started" >> brindax-demo.log
APP
  chmod +x "$release/Brindax.exe"
  printf 'Level 1\nLevel 2\n' > "$release/data/levels.txt"
  [ "$levels_version" = 2 ] && printf 'Level 1\nLevel 2\nLevel 3 (new)\n' > "$release/data/levels.txt"
  printf 'Brindax demo\n' > "$release/docs/readme.txt"
  [ -n "$extra" ] && printf 'What changed\n' > "$release/$extra"
  local previous=()
  if [ -f "$root/$remote_dir/Brindax.ver" ]; then
    rm -rf "$work/previous" && cp -r "$root/$remote_dir" "$work/previous"
    previous=(--previous "$work/previous")
  fi
  echo "\$ brindax-publish make release server${previous:+ --previous previous}"
  "$publisher" make "$release" "$root/$remote_dir" "${previous[@]}" | sed 's/^/   /'
  echo "   the list on the server:"; sed 's/^/     /' "$root/$remote_dir/Brindax.ver"
}

run() {
  echo
  echo "\$ brindax-updater $*"
  local code=0
  (cd "$install" && "$updater" "$@") || code=$?
  echo "   exit code: $code"
  return 0
}

show_install() {
  echo "   installation folder:"
  (cd "$install" && find . -type f ! -name brindax-demo.log | sort | sed 's/^/     /')
}

wait_for_app() {
  for _ in $(seq 50); do [ -s "$install/brindax-demo.log" ] && break; sleep 0.1; done
  [ -s "$install/brindax-demo.log" ] && sed 's/^/   application says: /' "$install/brindax-demo.log" || echo "   (the application did not start)"
}

echo "== Publishing release 1.0 and starting the FTP server"
publish 1.0 1
$python testing/ftp_server.py --root "$root" --user "$user" --password "$password" \
  --host 127.0.0.1 --port "$port" --port-file "$work/port" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the FTP server did not start"; exit 1; }

echo
echo "== 1. First start, nothing installed yet: full install, then the application starts"
run
wait_for_app
show_install

echo
echo "== 2. Update check against the same release: 0 means up to date"
run UpdateAvailable

echo
echo "== 3. The server publishes a new data/levels.txt: the check answers 2 (a version differs)"
publish 1.0 2
run UpdateAvailable

echo
echo "== 4. Partial update: only data/levels.txt is unpacked"
before=$(cd "$install" && stat -c "%n %y" Brindax.exe docs/readme.txt)
run MajLocal
echo "   data/levels.txt now reads:"; sed 's/^/     /' "$install/data/levels.txt"
after=$(cd "$install" && stat -c "%n %y" Brindax.exe docs/readme.txt)
[ "$before" = "$after" ] && echo "   Brindax.exe and docs/readme.txt were not rewritten (same modification times)"
[ -e "$install/Brindax.zip" ] || echo "   the package was removed after unpacking"

echo
echo "== 5. The server's list gains a record: the check answers 1 (different number of lines)"
publish 1.0 2 docs/changes.txt
run UpdateAvailable

echo
echo "== Done; stopping the server and cleaning up"
