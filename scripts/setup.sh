#!/bin/bash
# Installs the system packages the builds and tests need. Silent and quick
# when everything is present; apt runs only for what is missing.
set -euo pipefail

PACKAGES=(
    cmake make g++ git python3
    googletest libgtest-dev libbenchmark-dev
    clang libclang-rt-dev clang-format
    mingw-w64 wine wine32:i386 wine64
    xvfb x11-utils imagemagick xdotool
    locales fonts-ipafont-gothic
    libcli11-dev libtomlplusplus-dev
    openssl osslsigncode
    lzma-dev
)
LOCALES=(ja_JP.UTF-8 en_US.UTF-8)

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    SUDO=(sudo)
fi

is_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# "ja_JP.UTF-8" is listed by locale -a as "ja_JP.utf8".
has_locale() {
    local wanted
    wanted=$(echo "${1/UTF-8/utf8}" | tr '[:upper:]' '[:lower:]')
    locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]' | grep -qx "$wanted"
}

install_missing_packages() {
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        is_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${SUDO[@]}" dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -qq
    # Wine draws its dialogs with the fonts and X libraries it only recommends.
    "${SUDO[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

generate_missing_locales() {
    local missing=() name
    for name in "${LOCALES[@]}"; do
        has_locale "$name" || missing+=("$name")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "setup: generating locales ${missing[*]}"
    for name in "${missing[@]}"; do
        if grep -q "^# *${name} UTF-8" /etc/locale.gen; then
            "${SUDO[@]}" sed -i "s/^# *\(${name} UTF-8\)/\1/" /etc/locale.gen
        elif ! grep -q "^${name} UTF-8" /etc/locale.gen; then
            echo "${name} UTF-8" | "${SUDO[@]}" tee -a /etc/locale.gen >/dev/null
        fi
    done
    "${SUDO[@]}" locale-gen >/dev/null
}

install_missing_packages
generate_missing_locales
