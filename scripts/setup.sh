#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages, the virtual environment .venv,
# the Python dependencies, and a build + install of quarnet into .venv.
#   scripts/setup.sh          what the package needs to run
#   scripts/setup.sh --test   also what the tests need (GoogleTest, clang for the fuzzers, pytest)
# Each step says what it does and how long it took; the quiet ones (the
# downloads, the C++ build) say every 30 s that they are still at work.
set -euo pipefail
cd "$(dirname "$0")/.."
began=$SECONDS

source scripts/lib.sh

packages=(libusb-1.0-0)   # open3d's wheel links against libusb
if [ "${1:-}" = "--test" ]; then
  packages+=(libgtest-dev clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "Debian packages: apt-get install ${missing[*]} (a minute or two)"
  quietly apt-get update -qq
  quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  done_step
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
pip() { .venv/bin/python -m pip --disable-pip-version-check -q "$@" 2> >(grep -v '^WARNING: Location' >&2); }

step "torch (CPU) and the build tools into .venv (a few minutes the first time: torch is a large download; seconds after)"
# The CPU build of torch first, so that nothing else can ask for another build.
quietly pip install torch==2.13.0
# The libraries the native doubles stand in for, at the versions they are
# proven against (quarnet/native_doubles.py).
constraints=(-c requirements/constraints.txt)
quietly pip install "${constraints[@]}" -r requirements/build.txt
if [ "${1:-}" = "--test" ]; then
  quietly pip install "${constraints[@]}" -r requirements/test.txt
fi
done_step

step "build the C++ core and extension modules into one wheel, and install it with numpy, OpenCV, Open3D, SciPy, trimesh, ... (3-5 minutes on 2 cores)"
# One wheel, built once: installed here, and reused by the test command's
# installation check in a fresh environment.
rm -rf build/wheelhouse
quietly pip wheel --no-build-isolation --no-deps -w build/wheelhouse .
wheel=$(ls build/wheelhouse/quarnet-*.whl)
.venv/bin/python -m pip uninstall -y -q quarnet >/dev/null 2>&1 || true
quietly pip install "${constraints[@]}" "$wheel"
done_step

echo
echo "quarnet is installed in .venv (set-up took $((SECONDS - began)) s). The command is .venv/bin/quarnet:"
echo "  .venv/bin/quarnet --help            or, for this shell:  source .venv/bin/activate; quarnet --help"
