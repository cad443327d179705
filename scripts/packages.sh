# Debian 12 packages Kolvan needs, and an installer that asks apt only for what is missing.
# Sourced by run.sh and test.sh.

KV_BUILD_PACKAGES=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    nlohmann-json3-dev zlib1g-dev libssl-dev libpcre2-dev libssh2-1-dev
    liblzma-dev libbz2-dev libzstd-dev liblz4-dev
    librsvg2-bin
)
KV_RUN_PACKAGES=(libssh2-1 fonts-dejavu-core xdg-utils liblzma5 libbz2-1.0 libzstd1 liblz4-1)
KV_TEST_PACKAGES=(
    libgtest-dev libgmock-dev libbenchmark-dev
    trash-cli libglib2.0-bin tzdata
    python3-cryptography
    7zip libarchive-tools zip unzip tar xz-utils bzip2 zstd lz4
    libvterm-dev
    vsftpd python3-pyftpdlib python3-openssl openssl curl lftp
    apache2 apache2-utils lighttpd lighttpd-mod-webdav lighttpd-mod-openssl nginx libnginx-mod-http-dav-ext
    xvfb xauth xclip
    desktop-file-utils appstream dpkg-dev
    openssh-server openssh-sftp-server openssh-client python3-asyncssh
    bash zsh dash fish mksh ksh busybox-static inetutils-telnetd socat
    vim-tiny
)

kv_install_packages() {
    local wanted=("$@") missing=() package
    for package in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Installing packages needs root or sudo." >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
