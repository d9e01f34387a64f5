"""What one segmentation run did to each object, as the module said it: the
lines its cut steps print when they cut an object ("finish seg part <name>
save ply  <path>", or the whole-object cut's "<name>: <n> faces, written to
<path>") and when they skip one whose sub_mesh.ply exists ("Sub-mesh already
exists at <path>, skipping.")."""

import contextlib
import os

from quarnet import outputs

SKIPPED = ("Sub-mesh already exists at ", ", skipping.")
WRITTEN = " faces, written to "


class CutLog:
    """The module's print while a run lasts: passes every line on and notes
    the sub_mesh.ply paths written and skipped."""

    def __init__(self, print_):
        self._print = print_
        self.cut = set()
        self.skipped = set()

    def __call__(self, *args, **kwargs):
        self._print(*args, **kwargs)
        if len(args) == 4 and args[0] == "finish seg part":
            self.cut.add(args[3])
        elif len(args) == 1 and isinstance(args[0], str):
            line = args[0]
            if line.startswith(SKIPPED[0]) and line.endswith(SKIPPED[1]):
                self.skipped.add(line[len(SKIPPED[0]):-len(SKIPPED[1])])
            elif WRITTEN in line:
                self.cut.add(line.rpartition(WRITTEN)[2])

    def statuses(self, masks, names, done_before):
        """{name: status} of the object folders `names` in MASKS, in order:
        "cut" in this run; "skipped (done)" by an earlier run; "skipped (same
        folder as <name>)" for a folder that is another's (a link), whose files
        are that object's; "skipped (done by another run)" for one finished
        while this run lasted; "not cut" otherwise."""
        found = {}
        for name in names:
            sub_mesh = os.path.join(masks, name, outputs.SUB_MESH)
            if sub_mesh in self.cut:
                found[name] = "cut"
            elif sub_mesh in self.skipped:
                twin = next((other for other, status in found.items() if not status.startswith("skipped (same")
                             and _same_folder(masks, name, other)), None)
                found[name] = (f"skipped (same folder as {twin})" if twin is not None else
                               "skipped (done)" if name in done_before else "skipped (done by another run)")
            else:
                found[name] = "not cut"
        return found


def _same_folder(masks, a, b):
    try:
        return os.path.samefile(os.path.join(masks, a), os.path.join(masks, b))
    except OSError:
        return False


@contextlib.contextmanager
def logging_cuts(module):
    """Makes a CutLog the module's print for the block; yields it."""
    namespace = vars(module)
    before = namespace.get("print")
    log = CutLog(before if before is not None else print)
    module.print = log
    try:
        yield log
    finally:
        if before is None:
            del module.print
        else:
            module.print = before
