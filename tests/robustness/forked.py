"""Runs a test body in a forked child, so that a crash fails one test instead of the run."""

from __future__ import annotations

import functools
import os
import signal
import traceback


def in_child(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # child
            os.close(read_end)
            status = 0
            try:
                fn(*args, **kwargs)
            except BaseException:
                os.write(write_end, traceback.format_exc().encode())
                status = 1
            os._exit(status)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            report = pipe.read().decode(errors="replace")
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            raise AssertionError(f"child crashed with {signal.Signals(os.WTERMSIG(status)).name}")
        assert os.WEXITSTATUS(status) == 0, report

    return wrapper
