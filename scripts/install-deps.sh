#!/usr/bin/env bash
# Installs what Postvane needs to build and test, with apt-get, when missing.
#   scripts/install-deps.sh            build and test dependencies (no daemons)
#   scripts/install-deps.sh --interop  also the mail servers and the SOCKS proxy the interop tests use
#   scripts/install-deps.sh --fuzz     also clang with libFuzzer (scripts/fuzz.sh)
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libgtest-dev clang-format time
          python3 python3-aiosmtpd python3-twisted swaks curl s-nail microsocks netbase attr procps
          libzip-dev zlib1g-dev zip unzip strace
          # TLS: the library, the system's trust store, and the openssl command
          # the tests make their certificates with
          libssl-dev ca-certificates openssl
          # the desktop: the Qt front end, the tray watch (X11 selection, D-Bus name)
          qt6-base-dev libxcb1-dev libxcb-xfixes0-dev libxcb-res0-dev libdbus-1-dev
          # and its tests: an X server, a tray host, a window manager, input and
          # screenshots, a private bus, Arial's metrics
          xvfb trayer openbox xdotool imagemagick dbus-daemon python3-dbus fonts-liberation
          # the installed units, desktop entries and manual page, checked
          systemd man-db desktop-file-utils)
for option in "$@"; do
    case $option in
    --interop) packages+=(postfix dovecot-core dovecot-pop3d dante-server) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    echo "install-deps: all ${#packages[@]} packages are installed"
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: missing ${missing[*]}; run this as root or install sudo" >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
if [[ " ${missing[*]} " == *" postfix "* ]]; then
    echo "postfix postfix/main_mailer_type select No configuration" | "${sudo[@]}" debconf-set-selections
fi
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
# env rather than sudo -E: the root case has no sudo, and sudoers may refuse -E
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: done"
