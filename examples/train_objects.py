"""Trains one model per object folder of a segmented scene's mask folder.

    python examples/train_objects.py SOURCE_PATH MODEL_PATH MASKS_PATH [N4VIEWS]

SOURCE_PATH is the scene's training data, MODEL_PATH receives one folder per
object, MASKS_PATH holds one sub-folder of masks per object (as segmentation
with quarnet.mesh_seg.Tessaron leaves it). An object whose external training
fails is reported and the batch goes on.
"""
import sys

from quarnet.gaussian_seg.Vorlantide import Vorlantide


def main(argv):
    if len(argv) not in (4, 5):
        sys.exit(__doc__)
    source_path, model_path, masks_path = argv[1:4]
    n4views = int(argv[4]) if len(argv) == 5 else 14
    Vorlantide(source_path, model_path, masks_path, N4views=n4views).run_all()


if __name__ == "__main__":
    main(sys.argv)
