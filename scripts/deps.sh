# Packages the scripts need (Debian names), installed when missing. Each
# script asks only for the groups it uses.
declare -A DOWNLOAD_PACKAGE_GROUPS=(
    [build]="dpkg-dev cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev nlohmann-json3-dev libssl-dev"
    # The status page loaded as a browser does.
    [browser]="chromium"
    [windows]="g++-mingw-w64-x86-64 wine wine64 nlohmann-json3-dev"
    [fuzz]="clang libclang-rt-14-dev"
    [package]="dpkg-dev file lintian man-db unzip"
)

# ensure_packages GROUP... (default: build)
ensure_packages() {
    local groups=("$@") missing=() group p
    [[ ${#groups[@]} -eq 0 ]] && groups=(build)
    for group in "${groups[@]}"; do
        for p in ${DOWNLOAD_PACKAGE_GROUPS[$group]}; do
            dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
                missing+=("$p")
        done
    done
    if [[ ${#missing[@]} -eq 0 ]]; then
        ensure_httplib
        return 0
    fi
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
        ensure_httplib
    else
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

# cpp-httplib (the status page) header-only, as Debian's source package has it
# with Debian's patches applied: the binary package splits it into a shared
# library, which the one static Windows exe cannot use. Into build/deps.
ensure_httplib() {
    local root=$PWD/build/deps
    [[ -f $root/cpp-httplib/httplib.h ]] && return 0
    local apt=$root/apt
    mkdir -p "$apt/lists/partial" "$apt/parts" "$apt/cache/archives/partial"
    cat >"$apt/parts/sources.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    local options=(-o "Dir::Etc::SourceParts=$apt/parts" -o Dir::Etc::SourceList=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
    echo "Fetching Debian's source of cpp-httplib"
    apt-get "${options[@]}" -qq update
    (cd "$apt" && rm -rf cpp-httplib-*/ && apt-get "${options[@]}" -qq source cpp-httplib >/dev/null)
    mkdir -p "$root/cpp-httplib"
    cp "$apt"/cpp-httplib-*/httplib.h "$root"/cpp-httplib/httplib.h
    cp "$apt"/cpp-httplib-*/LICENSE "$root"/cpp-httplib/LICENSE
}

# The pseudo-terminal of a phonesim started with its output to FILE: its
# first line, once it is there.
phonesim_port() {
    local file=$1 port= _
    for _ in $(seq 100); do
        port=$(head -n 1 "$file" 2>/dev/null || true)
        [[ -n $port ]] && break
        sleep 0.05
    done
    [[ -n $port ]] || { echo "phonesim did not start" >&2; return 1; }
    echo "$port"
}

# Makes the Wine prefix complete before anything uses it: wineboot writes the
# registry files only when its wineserver exits and saves them, so wait for
# that. A prefix without system.reg is made again.
prepare_wine_prefix() {
    local prefix=$1
    [[ -f $prefix/system.reg ]] && return 0
    echo "Preparing the Wine prefix for the Windows tests..."
    rm -rf "$prefix"
    WINEPREFIX="$prefix" WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" WINEDEBUG=-all wineserver -w >/dev/null 2>&1 || true
    if [[ ! -f $prefix/system.reg ]]; then
        echo "The Wine prefix at $prefix is incomplete (no system.reg)" >&2
        exit 1
    fi
}
