#!/usr/bin/env bash
# The canary, run on demand: quarnet built against the newest pybind11 (the
# modules' entry prepares pybind11's internals), every module loaded, and the
# native doubles' differential tests against the newest releases of the
# libraries they stand in for (trimesh, rtree with the libspatialindex it
# ships, SciPy), in a throwaway virtual environment, with the versions found
# counted as proven for the run (pytest --adopt-installed). When it passes,
# adopting them is one more version in a line of quarnet/native_doubles.py
# and the pins in requirements/constraints.txt.
#
#   scripts/canary.sh                               the newest pybind11, trimesh, rtree and SciPy
#   scripts/canary.sh trimesh==5.3.0 rtree==1.4.1   chosen releases (pybind11 as the .venv has it)
#
# The throwaway environment holds the libraries tried and quarnet's wheel,
# built there; it reaches every other dependency in the .venv made by
# scripts/setup.sh --test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[ -x .venv/bin/python ] || { echo "no .venv: run bash scripts/setup.sh --test once first"; exit 1; }
libraries=("$@")
[ ${#libraries[@]} -gt 0 ] || libraries=(pybind11 trimesh rtree scipy)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet() { "$@" 2> >(grep -v '^WARNING: Location' >&2); }

echo "== a throwaway environment with ${libraries[*]}"
"$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv "$work/venv"
python="$work/venv/bin/python"
site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
main_site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$main_site" >"$site/zz-setup-venv.pth"  # after the environment's own packages
pip=("$python" -m pip --disable-pip-version-check install -q)
# Beside, not over, the .venv's copies (which pip would otherwise uninstall).
quiet "${pip[@]}" --upgrade --ignore-installed --no-deps "${libraries[@]}"

echo "== quarnet's wheel, built against pybind11 $("$python" -c 'import pybind11; print(pybind11.__version__)')"
pybind11_dir=$("$python" -c 'import pybind11; print(pybind11.get_cmake_dir())')
quiet "$python" -m pip --disable-pip-version-check wheel -q --no-build-isolation --no-deps -w "$work/wheel" \
  -Cbuild-dir="$work/build" -Ccmake.define.pybind11_DIR="$pybind11_dir" .
quiet "${pip[@]}" --no-deps "$work"/wheel/quarnet-*.whl
"$python" - <<'EOF'
from quarnet import native_doubles
for library in native_doubles.VERSION_ATTRIBUTES:
    print(f"   {library} {native_doubles.installed_version(library)}")
EOF

echo "== every module loads; the differential tests"
# Run from outside the source tree, so that the installed quarnet is imported.
cd "$work"
"$python" -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" --adopt-installed \
  "$root/tests/python/test_module_conventions.py" \
  "$root/tests/python/test_trimesh_native.py" "$root/tests/python/test_native_gate.py" \
  "$root/tests/python/test_native_doubles.py" "$root/tests/python/test_face_search.py" \
  "$root/tests/python/test_submesh.py"
echo "canary passed: add the versions above to quarnet/native_doubles.py and the pins to requirements/constraints.txt"
