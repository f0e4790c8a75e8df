"""Imported at start-up by every interpreter that tools/sanitize.sh runs (it is put on
PYTHONPATH there, and nowhere else).

An instrumented tesk needs the sanitizer runtime to be the first library of the process.
Tests that start a child with an LD_PRELOAD of their own (the entropy interposer) would
drop it; this keeps it first, ahead of whatever the test preloads.
"""

import os
import subprocess

_RUNTIME = os.environ.get("TESK_SANITIZER_RUNTIME", "")
_start = subprocess.Popen.__init__


def _keep_runtime_first(self, *args, env=None, **kwargs):
    if _RUNTIME and env is not None:
        preload = env.get("LD_PRELOAD", "")
        if not preload.startswith(_RUNTIME):
            env = dict(env, LD_PRELOAD=":".join(part for part in (_RUNTIME, preload) if part))
    _start(self, *args, env=env, **kwargs)


subprocess.Popen.__init__ = _keep_runtime_first
