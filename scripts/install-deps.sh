#!/usr/bin/env bash
# Installs the Debian packages that are missing, only those:
#   scripts/install-deps.sh run    what building and running the programs need
#   scripts/install-deps.sh test   that, and what the tests, the install check
#                                  and the benchmarks need besides
set -euo pipefail
mode="${1:-test}"
packages=(cmake g++ make pkg-config qt6-base-dev qt6-base-dev-tools liburing-dev fonts-liberation xdg-utils)
if [ "$mode" = test ]; then
  packages+=(libqt6test6 libgtest-dev xvfb xauth xdotool x11-apps x11-utils imagemagick openbox
             desktop-file-utils appstream tzdata rsync time python3 bc
             xfsprogs btrfs-progs e2fsprogs dosfstools exfatprogs exfat-fuse fusefat ntfs-3g fuse3
             python3-fusepy libfuse3-dev acl attr openssh-server openssh-client sshfs samba smbnetfs
             git clang clang-format clang-tidy)
elif [ "$mode" != run ]; then
  echo "usage: scripts/install-deps.sh run|test" >&2
  exit 2
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
