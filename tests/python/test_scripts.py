"""The set-up and test scripts' steps (scripts/lib.sh): a step that prints
nothing for a while says it is still at work, and how long it took."""
import os
import re
import subprocess

LIB = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "lib.sh")


def test_a_quiet_step_says_it_is_still_at_work():
    script = f"""set -euo pipefail
source {LIB}
step "a step"
quietly bash -c 'printf ...; sleep 6; echo done; echo to stderr >&2; exit 3' || echo "status $?"
quietly bash -c 'sleep 5' >/dev/null
done_step
duration 785"""
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "QUARNET_STILL_AT_IT": "2"})
    assert done.returncode == 0 and done.stderr == "", done.stderr
    tick = r"   \.\.\. still at it \(\d+ s\)\n"
    assert re.fullmatch(rf"== a step\n\.\.\.\n({tick})+done\nto stderr\nstatus 3\n({tick})+   done in \d+ s\n"
                        r"13 min 5 s\n", done.stdout), done.stdout
