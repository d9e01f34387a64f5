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
import os
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


def join_option_values(parser, argv):
    """The command line with a value that starts with '-' joined to its option
    (`--radius -inf` as `--radius=-inf`, `--up -z` as `--up=-z`): argparse
    takes such a word for an option of its own unless it reads as a plain
    negative number (-1, -0.5; not -1e3, -inf or -nan). Joined are the values
    of options that take one value, when they are numbers or among the
    option's choices; the option's own check then judges them."""
    commands = next((a.choices for a in parser._actions if isinstance(a, argparse._SubParsersAction)), {})
    options, command, joined = _value_options(parser), None, []
    for k, word in enumerate(argv):
        if word == "--":
            return joined + argv[k:]
        option = options.get(joined[-1]) if joined else None
        if option is not None and word.startswith("-") and (_is_number(word) or word in (option.choices or ())):
            joined[-1] += f"={word}"
            continue
        joined.append(word)
        if command is None and word in commands:
            command = word
            options = _value_options(commands[word])
    return joined


def _value_options(parser):
    """{option string: action} of the parser's options that take one value."""
    return {string: action for action in parser._actions if action.nargs is None
            for string in action.option_strings}


def _is_number(word):
    try:
        float(word)
    except ValueError:
        return False
    return True


def main(argv=None):
    """Runs the command line `argv` (default: sys.argv[1:], and then this
    process is the command); returns the exit status."""
    whole_process = argv is None
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    args = parser.parse_args(join_option_values(parser, argv))
    try:
        return args.run(args)
    except Exception as e:
        sys.stdout.flush()
        if args.debug:
            traceback.print_exc()
        if not caused_by_interrupt(e):
            print(error_line(e), file=sys.stderr)
            return 1
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        if whole_process and isinstance(e, ImportError):
            # Ctrl-C stopped a library while it loaded: half made, its exit
            # handlers may end the process with a status of their own
            # (Open3D's leak report at exit ends it with 1).
            sys.stderr.flush()
            os._exit(130)
    except KeyboardInterrupt:
        sys.stdout.flush()
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
    return 130


def caused_by_interrupt(error):
    """Whether Ctrl-C is behind `error`: a library that turns the interrupt
    into an error of its own (pybind11's "ImportError: initialization failed"
    when Ctrl-C comes while Open3D loads) keeps it as the cause or context."""
    chain, seen = [error], set()
    while chain:
        error = chain.pop()
        if error is None or id(error) in seen:
            continue
        if isinstance(error, KeyboardInterrupt):
            return True
        seen.add(id(error))
        chain += [error.__cause__, error.__context__]
    return False
