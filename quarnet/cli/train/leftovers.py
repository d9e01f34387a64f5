"""What a training process leaves behind: every local training process leads
a session (and process group) of its own, and once it has ended, whatever
is still in its session (a data loader, a logger) is ended too: SIGTERM,
then SIGKILL to what is left after GRACE seconds."""

import contextlib
import os
import signal
import time

GRACE = 5.0  # seconds a process has to end after SIGTERM (or SIGINT) before SIGKILL


def _members(session):
    """The live processes of `session` (a session leader's pid), zombies left
    out; None where the system does not say (no /proc)."""
    try:
        names = os.listdir("/proc")
    except OSError:
        return None
    pids = []
    for name in names:
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as f:
                state, _, _, sid = f.read().rpartition(b")")[2].split()[:4]
        except (OSError, ValueError):
            continue  # ended meanwhile
        if int(sid) == session and state not in (b"Z", b"X"):
            pids.append(int(name))
    return pids


def _alive(session):
    members = _members(session)
    if members is not None:
        return bool(members)
    try:  # no /proc: the group alone, which answers while it has members
        os.killpg(session, 0)
    except (ProcessLookupError, PermissionError):
        return False
    return True


def signal_session(session, sig):
    """Sends `sig` to the process group `session` and to every other process
    of that session; returns whether any process of it is still there."""
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(session, sig)
    for pid in _members(session) or ():
        with contextlib.suppress(ProcessLookupError, PermissionError):
            if os.getpgid(pid) != session:
                os.kill(pid, sig)
    return _alive(session)


class Leftovers:
    """The sessions of ended trainings that still have processes, each with
    the time at which what is left of it gets SIGKILL."""

    def __init__(self):
        self._sessions = {}

    def __bool__(self):
        return bool(self._sessions)

    def end(self, session, at_once=False):
        """Ends what is left in `session`: SIGTERM, SIGKILL after GRACE (at once if `at_once`)."""
        if signal_session(session, signal.SIGKILL if at_once else signal.SIGTERM):
            self._sessions[session] = time.monotonic() + (0.0 if at_once else GRACE)

    def kill_all(self):
        for session in self._sessions:
            self._sessions[session] = 0.0
        self.poll()

    def poll(self):
        """Forgets the sessions that have ended and kills those past their
        time; returns the seconds until the next one is due, or None."""
        now = time.monotonic()
        for session, due in list(self._sessions.items()):
            if due <= now:
                signal_session(session, signal.SIGKILL)
                due = self._sessions[session] = now + GRACE  # SIGKILL again while it is not gone
            if not _alive(session):
                del self._sessions[session]
        return min((due - now for due in self._sessions.values()), default=None)

    def wait(self, hurry):
        """Until every session has ended, or a second past its SIGKILL; at
        once SIGKILL when hurry() says so (a Ctrl-C)."""
        give_up, hurried = max(self._sessions.values(), default=0.0) + 1.0, False
        while self and time.monotonic() < give_up:
            if not hurried and hurry():
                self.kill_all()
                give_up, hurried = min(give_up, time.monotonic() + 1.0), True
            self.poll()
            time.sleep(0.02)

