# Shared by the scripts: installs missing Debian packages, picks the job count.

# need PACKAGE...: installs those that are not installed yet. A mirror that
# is out of sync for a moment (an index that cannot be fetched, packages that
# cannot be installed together) is waited for and tried once more; the lists
# that could be read are used either way.
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
    local try
    for try in 1 2; do
        [ $try -eq 2 ] && { echo "Trying again in 30 s" >&2; sleep 30; }
        apt-get update -qq || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null &&
            return 0
    done
    return 1
}

BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev)
# The install tests (tests/tools/install-test): cpack's Debian package with
# its dependencies computed (dpkg-shlibdeps, file), and the manual pages
# rendered (man-db, groff-base), and the package linted (lintian).
INSTALL_TEST_PACKAGES=(dpkg-dev file man-db groff-base lintian)
TEST_PACKAGES=(lhasa jlha-utils p7zip-full g++-mingw-w64-x86-64 g++-mingw-w64-i686
    "${INSTALL_TEST_PACKAGES[@]}")
JOBS=2
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Windows builds (mingw-w64; python3 draws the icon) and the Wine suite:
# Wine on a virtual display, a Korean font, xwd for the screenshots, and the
# Korean locale's definition (tests/wine/run makes ko_KR.UTF-8 from it).
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 python3)
WINE_PACKAGES=("${WINDOWS_PACKAGES[@]}" wine wine64 xvfb x11-apps fonts-nanum jlha-utils locales)

# need_wine32: Debian's 32-bit Wine (wine32:i386) beside the 64-bit one, for
# the i686 build in a 32-bit prefix; adds the i386 architecture first. Only
# where the kernel runs 32-bit programs (tests/wine/run --kernel-runs-32bit):
# once wine32 is installed, Debian's wine starts every program with its
# 32-bit loader, and without 32-bit support in the kernel every Wine call
# fails.
need_wine32() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "Need root to add the i386 architecture for wine32:i386" >&2
            return 1
        fi
        dpkg --add-architecture i386
    fi
    need wine32:i386
}
