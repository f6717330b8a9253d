# Shared helpers of the scripts: project paths and installation of missing Debian packages.
# Sourced, not run.

PAIRMEND_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
PAIRMEND_JOBS="$(nproc 2>/dev/null || echo 2)"

# missing_packages PKG...: prints, on one line, those of the Debian packages that are not installed.
missing_packages() {
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            printf '%s ' "$pkg"
        fi
    done
}

# with_missing_packages HANDLER PKG...: calls HANDLER with those of the Debian packages PKG... that
# are not installed, when there are any.
with_missing_packages() {
    local handler="$1"
    shift
    local missing
    read -r -a missing <<<"$(missing_packages "$@")"
    if [ "${#missing[@]}" -gt 0 ]; then
        "$handler" "${missing[@]}"
    fi
}

# require_packages PKG...: installs the missing Debian packages with apt-get when running as
# root; otherwise prints the exact command to run and exits.
require_packages() {
    with_missing_packages install_required_packages "$@"
}

# install_required_packages PKG...: require_packages for packages known to be missing.
install_required_packages() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "These Debian packages are missing: $*" >&2
        echo "Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y $*" >&2
        exit 1
    fi
    echo "Installing missing Debian packages: $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || { echo "apt-get update failed." >&2; exit 1; }
    apt-get install -y -qq --no-install-recommends "$@" || {
        echo "Could not install: $*" >&2
        exit 1
    }
}

# offer_packages PKG...: installs missing Debian packages that only enable optional tests, when
# running as root. Never stops the script: if they cannot be installed (no root, no network, apt
# fails), it says so and the tests that need them skip themselves.
offer_packages() {
    with_missing_packages install_optional_packages "$@"
    return 0
}

# install_optional_packages PKG...: offer_packages for packages known to be missing.
install_optional_packages() {
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing optional Debian packages: $*"
        if DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; then
            return 0
        fi
    fi
    echo "Optional Debian packages not installed: $*; the tests that need them will be skipped." >&2
}

# Packages needed to build the program itself.
PAIRMEND_BUILD_PACKAGES=(cmake make g++ rapidjson-dev)
# Packages needed in addition to build and run the tests and benchmarks.
PAIRMEND_TEST_PACKAGES=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang-format)
# Dask and its distributed scheduler, for pairmend.dask and its tests (a local cluster of worker
# processes) and benchmarks/dask_apply.py; the rest of the Python module does not need them.
PAIRMEND_DASK_PACKAGES=(python3-dask python3-distributed)
PAIRMEND_TEST_PACKAGES+=("${PAIRMEND_DASK_PACKAGES[@]}")
# Packages needed in addition to build, install and test the Python module (AnnData brings SciPy
# and h5py, which the tests also use; pip builds wheels with python3-wheel).
PAIRMEND_PYTHON_PACKAGES=(pybind11-dev python3-dev python3-numpy python3-anndata python3-scipy python3-pytest
    python3-setuptools python3-wheel python3-pip python3-venv)
# Packages that enable optional tests: Debian's chromium renders the quality-control report headless.
PAIRMEND_OPTIONAL_TEST_PACKAGES=(chromium)
# Packages needed in addition to build and run the fuzz targets (clang 14 with libFuzzer).
PAIRMEND_FUZZ_PACKAGES=(clang libclang-rt-14-dev libomp-dev)
# pairmend_version: prints the project's version as CMakeLists.txt declares it (0.1.0).
pairmend_version() {
    sed -n 's/^project(pairmend VERSION \([0-9][0-9.]*\).*/\1/p' "$PAIRMEND_ROOT/CMakeLists.txt"
}

# Packages needed to build and install the R package (scripts/r-package, R CMD INSTALL).
PAIRMEND_R_PACKAGES=(r-base-dev r-cran-rcpp)
# Packages needed in addition to run the R package's tests.
PAIRMEND_R_TEST_PACKAGES=(r-cran-testthat r-bioc-singlecellexperiment)

# Packages needed to cross-build the workstation program for Windows (scripts/windows), and in
# addition to run it under wine for its tests.
PAIRMEND_WINDOWS_PACKAGES=(cmake make rapidjson-dev g++-mingw-w64-x86-64-posix)
PAIRMEND_WINE_PACKAGES=(wine wine64)
