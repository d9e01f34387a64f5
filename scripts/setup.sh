#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages, the virtual environment .venv,
# the Python dependencies, and a build + install of quarnet into .venv.
#   scripts/setup.sh          what the package needs to run
#   scripts/setup.sh --test   also what the tests need (GoogleTest, clang for the fuzzers, pytest)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libusb-1.0-0)   # open3d's wheel links against libusb
if [ "${1:-}" = "--test" ]; then
  packages+=(libgtest-dev clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== apt-get install ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
pip() { .venv/bin/python -m pip --disable-pip-version-check -q "$@" 2> >(grep -v '^WARNING: Location' >&2); }

echo "== python dependencies"
# The CPU build of torch first, so that nothing else can ask for another build.
pip install torch==2.13.0
# The libraries the native doubles stand in for, at the versions they are
# proven against (quarnet/native_doubles.py).
constraints=(-c requirements/constraints.txt)
pip install "${constraints[@]}" -r requirements/build.txt
if [ "${1:-}" = "--test" ]; then
  pip install "${constraints[@]}" -r requirements/test.txt
fi

echo "== build and install quarnet"
# One wheel, built once: installed here, and reused by the test command's
# installation check in a fresh environment.
rm -rf build/wheelhouse
pip wheel --no-build-isolation --no-deps -w build/wheelhouse .
wheel=$(ls build/wheelhouse/quarnet-*.whl)
.venv/bin/python -m pip uninstall -y -q quarnet >/dev/null 2>&1 || true
pip install "${constraints[@]}" "$wheel"
