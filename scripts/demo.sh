#!/usr/bin/env bash
# End-to-end demo on this machine: builds everything, packs an install package
# and an update package of the sample client with 7zz, starts the resource
# server on loopback serving the install package, runs the console installer
# with a config.ini whose svr_url points at the server (udp-http: HTTP over
# KCP over UDP), so it downloads the package with progress and speed and
# installs it into a temporary folder, then applies the update as the client
# would start the installed updater, and stops the server.
#   scripts/demo.sh [--keep]   (--keep leaves the demo folder for inspection)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/server_tool.sh
keep=0
[ "${1:-}" = "--keep" ] && keep=1

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

setup=build/installer/qlyn-setup
client=build/tools/sample_client/rk50cli_dsk
server=build/server/qlyn-resource-server
for f in "$setup" "$client" "$server"; do
  [ -x "$f" ] || { echo "demo: $f was not built" >&2; exit 1; }
done

# The package password: the build's constant formatted as %4.5f with ".".
value=$(sed -n 's/^QLYN_PACKAGE_PASSWORD_VALUE:[A-Z]*=//p' build/CMakeCache.txt)
password=$(LC_NUMERIC=C printf '%4.5f' "$value")

demo=$(mktemp -d /tmp/qlyn-demo.XXXXXX)
server_pid=
cleanup() {
  stop_server
  [ $keep -eq 1 ] || rm -rf "$demo"
}
trap cleanup EXIT
export HOME="$demo/home" XDG_DATA_HOME="$demo/home/.local/share" XDG_CONFIG_HOME="$demo/home/.config"
unset LOCALAPPDATA DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Desktop"
step() { printf '\n== %s\n' "$*"; }

step "packing the install package (win64/)"
mkdir -p "$demo/pack/win64/docs"
cp "$client" "$demo/pack/win64/rk50cli_dsk"
echo "1.0.0" > "$demo/pack/win64/version.txt"
echo "installation identity" > "$demo/pack/win64/cuuid.inf"
echo "old settings" > "$demo/pack/win64/old.txt"
echo "obsolete" > "$demo/pack/win64/obsolete.dat"
mkdir -p "$demo/pack/win64/cache" "$demo/pack/win64/res"
# Sizeable content, so the download shows a few progress lines.
head -c $((64 * 1048576)) /dev/urandom > "$demo/pack/win64/res/assets.bin"
echo "Qlyn 客户端说明" > "$demo/pack/win64/docs/说明.txt"
www="$demo/www/down/win64"
mkdir -p "$www"
(cd "$demo/pack" && 7zz a -bd -mx=1 -p"$password" -mhe=on "$www/rk50cli_dsk.win64.newest.7z" win64 >/dev/null)
ls -l "$www/rk50cli_dsk.win64.newest.7z"

step "starting the resource server on loopback: qlyn-resource-server --root … --port 0"
start_resource_server "$server" "$demo/www" "$demo/server.out" ||
  { echo "demo: the resource server did not start" >&2; exit 1; }
echo "serving $demo/www on 127.0.0.1:$port (UDP/KCP and TCP)"

step "installing with: qlyn-setup --cli --yes --dir … (config.ini: svr_url=udp-http://127.0.0.1:$port)"
mkdir -p "$demo/setup"
cp "$setup" "$demo/setup/qlyn-setup"
printf '[common]\nsvr_url=udp-http://127.0.0.1:%s\n' "$port" > "$demo/setup/config.ini"
sed 's/^/  /' "$demo/setup/config.ini"
install="$demo/install/qlyn/client/"
"$demo/setup/qlyn-setup" --cli --yes --dir "$install"
echo "installed files:"
(cd "$install" && find . -type f -o -type d -empty | sort | sed 's/^/  /')
echo "desktop entry:"
sed 's/^/  /' "$HOME/Desktop/"*.desktop
"$install/win64/rk50cli_dsk"

step "packing the update package (win64_update/update.cmd)"
mkdir -p "$demo/upd/win64_update"
echo "2.0.0" > "$demo/upd/win64_update/version.txt"
echo "new release notes" > "$demo/upd/win64_update/notes.txt"
printf '%s\r\n' \
  'cp $sour$version.txt $dest$version.txt' \
  'mv $sour$notes.txt $dest$docs/release/notes.txt' \
  'REN $DEST$old.txt $dest$old.bak' \
  'del $dest$obsolete.dat' \
  'rd $dest$cache' \
  'rd' > "$demo/upd/win64_update/update.cmd"
sed 's/^/  /' "$demo/upd/win64_update/update.cmd"
mkdir -p "$demo/download"
(cd "$demo/upd" && 7zz a -bd -p"$password" "$demo/download/update.7z" win64_update >/dev/null)

step "applying the update with: win64/updator update … --cli --yes"
"$install/win64/updator" update "$demo/download/update.7z" --cli --yes
sleep 0.5
echo "installation after the update:"
(cd "$install" && find . -type f -o -type d -empty | sort | sed 's/^/  /')
"$install/win64/rk50cli_dsk"
echo "client log:"
sed 's/^/  /' "$install/win64/client.log"
[ "$(cat "$install/win64/version.txt")" = "2.0.0" ] || { echo "demo: update not applied" >&2; exit 1; }
step "stopping the resource server"
stop_server
step "demo finished"
[ $keep -eq 1 ] && echo "demo folder: $demo"
exit 0
