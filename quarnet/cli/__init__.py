"""The quarnet command: segment a scene, look at the result, train every
object, or write a sample scene to try them on.

    quarnet segment ROOT --mesh MESH [--masks MASKS] [--dense [--radius R]]
    quarnet show MASKS --mesh MESH [-o picture.png] [--root ROOT --view ID]
    quarnet check MASKS --mesh MESH --root ROOT [-o check.png] [--json FILE]
    quarnet train ROOT MODELS [--masks MASKS] [--workers N | --scheduler ADDRESS [--task-resources GPU=1]]
    quarnet sample OUT
    quarnet doctor
"""

import argparse
import sys
import traceback

from quarnet import version
from quarnet.user_errors import PROGRAM, error_line

from . import check, doctor, sample, segment, show, train

COMMANDS = (segment, show, check, train, sample, doctor)
EPILOG = """\
A first try:
  quarnet sample scene
  quarnet segment scene --mesh scene/mesh.ply
  quarnet show scene/masks --mesh scene/mesh.ply -o segmentation.png
  quarnet check scene/masks --mesh scene/mesh.ply --root scene
  quarnet train scene models --workers 2

'quarnet COMMAND --help' explains each command. Errors print one line,
'quarnet: error: ...', and exit with status 1 (2 for a wrong command line);
--debug shows the traceback as well.
"""


def build_parser():
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.split("\n\n")[0].replace("\n", " "),
                                     epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debug", action="store_true", help="show the traceback of an error")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = commands.add_parser(command.NAME, help=command.HELP, description=command.DESCRIPTION,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                         help="show the traceback of an error")
        command.add_arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def main(argv=None):
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(show.join_signed_values(argv))
    try:
        return args.run(args)
    except KeyboardInterrupt:
        sys.stdout.flush()
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    except Exception as e:
        sys.stdout.flush()
        if args.debug:
            traceback.print_exc()
        print(error_line(e), file=sys.stderr)
        return 1
