#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -eu

packages="build-essential cmake pkg-config zlib1g-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstrtspserver-1.0-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libboost-math-dev libcli11-dev
  libpng-dev chromium
  ffmpeg time
  python3-yaml slurm-wlm munge
  clang-14 libclang-rt-14-dev libfuzzer-14-dev g++-aarch64-linux-gnu qemu-user"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "Missing Debian packages:$missing" >&2
  echo "Install them as root: apt-get install$missing" >&2
  exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
