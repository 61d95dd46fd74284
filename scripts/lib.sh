# Shared by the scripts: installs missing Debian packages, picks the job count.

# need PACKAGE...: installs those that are not installed yet.
need() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    if [ "$(id -u)" -ne 0 ]; then
        echo "Need root to install: ${missing[*]}" >&2
        return 1
    fi
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev)
TEST_PACKAGES=(lhasa jlha-utils p7zip-full g++-mingw-w64-x86-64 g++-mingw-w64-i686)
JOBS=2
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Windows builds (mingw-w64; python3 draws the icon) and the Wine suite:
# Wine on a virtual display, a Korean font, xwd for the screenshots.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 python3)
WINE_PACKAGES=("${WINDOWS_PACKAGES[@]}" wine wine64 xvfb x11-apps fonts-nanum jlha-utils)
