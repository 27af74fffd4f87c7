#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian machine, when missing.
# Run as root it uses apt-get; otherwise it prints the install line and fails.
# Packages named as arguments are needed too (scripts/package.sh adds its own).
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libssl-dev libzstd-dev
    nginx-light
    xvfb xauth x11-apps imagemagick
    fonts-wqy-microhei
    curl
    strace
    clang
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive

# Installing packages must leave no service running: nginx is only run by the demo and the
# tests, on loopback, as a private process, and what the packages pull in (the system message
# bus, for one) is not needed by anything here. In a container or a chroot a service started now
# would outlive this script. While apt runs, a policy refuses every service start (only when no
# policy is in place already: an administrator's own is left to decide); afterwards nginx is
# also disabled for the next boot.
nginx_was_installed=yes
dpkg-query -W -f='${Status}' nginx-light 2>/dev/null | grep -q "install ok installed" ||
    nginx_was_installed=no
policy=/usr/sbin/policy-rc.d
own_policy=no
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Left by scripts/deps.sh while it installs packages: no service is started.\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    own_policy=yes
    trap 'rm -f "$policy"' EXIT
fi

apt-get update -q
apt-get install -y -q "${missing[@]}"

if [ "$own_policy" = yes ]; then
    rm -f "$policy"
fi
if [ "$nginx_was_installed" = no ]; then
    if command -v systemctl >/dev/null; then
        systemctl disable --now nginx.service >/dev/null 2>&1 || true
    fi
    if command -v update-rc.d >/dev/null && [ -e /etc/init.d/nginx ]; then
        update-rc.d nginx disable >/dev/null 2>&1 || true
    fi
    echo "nginx is installed but not enabled as a service: the demo and the tests start their own."
fi
