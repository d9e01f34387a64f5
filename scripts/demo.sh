#!/usr/bin/env bash
# Sets up a fresh machine (scripts/setup.sh), then builds the sample scene,
# segments it with SceneTessaron and writes a picture of the result:
#   out/sample_scene/segmentation.png
# Options go to examples/segment_sample_scene.py (e.g. --seed 3 --objects 6).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo
echo "== the demo: build the sample scene, segment it, score it against its ground truth, draw it (a few seconds)"
.venv/bin/python examples/segment_sample_scene.py "$@"
