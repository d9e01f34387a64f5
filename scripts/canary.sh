#!/usr/bin/env bash
# The canary, run on demand: the native doubles' differential tests against
# the newest releases of the libraries they stand in for (trimesh, rtree with
# the libspatialindex it ships, SciPy), in a throwaway virtual environment, with
# the versions found counted as proven for the run (pytest --adopt-installed).
# When it passes, adopting them is one more version in a line of
# quarnet/native_doubles.py (and the pin in requirements/constraints.txt).
#
#   scripts/canary.sh                               the newest trimesh, rtree and SciPy
#   scripts/canary.sh trimesh==5.3.0 rtree==1.4.1   chosen releases
#
# The throwaway environment holds quarnet's wheel and the libraries tried; it
# reaches every other dependency in the .venv made by scripts/setup.sh --test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[ -x .venv/bin/python ] || { echo "no .venv: run bash scripts/setup.sh --test once first"; exit 1; }
libraries=("$@")
[ ${#libraries[@]} -gt 0 ] || libraries=(trimesh rtree scipy)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet() { "$@" 2> >(grep -v '^WARNING: Location' >&2); }

echo "== quarnet's wheel"
quiet .venv/bin/python -m pip --disable-pip-version-check wheel -q --no-build-isolation --no-deps -w "$work/wheel" .

echo "== a throwaway environment with ${libraries[*]}"
"$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv "$work/venv"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
main_site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$main_site" >"$site/zz-setup-venv.pth"  # after the environment's own packages
pip=("$work/venv/bin/python" -m pip --disable-pip-version-check install -q)
quiet "${pip[@]}" --no-deps "$work"/wheel/quarnet-*.whl
# Beside, not over, the .venv's copies (which pip would otherwise uninstall).
quiet "${pip[@]}" --upgrade --ignore-installed --no-deps "${libraries[@]}"
"$work/venv/bin/python" - <<'EOF'
from quarnet import native_doubles
for library in native_doubles.VERSION_ATTRIBUTES:
    print(f"   {library} {native_doubles.installed_version(library)}")
EOF

echo "== the differential tests"
# Run from outside the source tree, so that the installed quarnet is imported.
cd "$work"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" --adopt-installed \
  "$root/tests/python/test_trimesh_native.py" "$root/tests/python/test_native_gate.py" \
  "$root/tests/python/test_native_doubles.py" "$root/tests/python/test_face_search.py" \
  "$root/tests/python/test_submesh.py"
echo "canary passed: add the versions above to quarnet/native_doubles.py (and the pins to requirements/constraints.txt)"
