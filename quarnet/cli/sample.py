"""quarnet sample OUT: writes the sample scene."""

from quarnet.sample import command

NAME = "sample"
HELP = "write the sample scene, for trying the other commands"
DESCRIPTION = """\
Writes a synthetic scene into OUT (a new or empty folder): a ground plane with
boxes, spheres, cylinders and tori (some touching) in vertex colours, cameras
on a ring around it, depth maps and masks ray-cast from the mesh, a COLMAP
binary model and the ground truth of every face. The same options always give
the same files. Then try:

  quarnet segment OUT --mesh OUT/mesh.ply
  quarnet show OUT/masks --mesh OUT/mesh.ply -o segmentation.png
  quarnet train OUT models
"""


def add_arguments(parser):
    command.add_arguments(parser)


def run(args):
    command.check_scene_options(args.parser, args)
    command.write_scene(args)
    return 0
