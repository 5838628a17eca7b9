"""The bundled reference model server (a deterministic stand-in, never a real model) for the demo:
started on a free loopback port, stopped when the demo ends."""

import contextlib
import os
import pathlib
import shutil
import subprocess
import sys

BINARY = "velora-reference-model"


def reference_model_binary():
    """In build/<name>/bin when the package comes from a developer build, beside the interpreter when
    installed, else on PATH; VELORA_REFERENCE_MODEL_BIN overrides them all."""
    if os.environ.get("VELORA_REFERENCE_MODEL_BIN"):
        return os.environ["VELORA_REFERENCE_MODEL_BIN"]
    import velora_metrics_plugin

    package = pathlib.Path(velora_metrics_plugin.__file__).resolve().parent
    for candidate in (package.parent.parent / "bin" / BINARY, pathlib.Path(sys.executable).parent / BINARY):
        if candidate.is_file():
            return str(candidate)
    found = shutil.which(BINARY)
    if found is None:
        raise FileNotFoundError(f"{BINARY} is not installed beside this Python or on PATH")
    return found


@contextlib.contextmanager
def running_reference_model():
    """Yields the server's base URL. The server ends with this process even when it is killed
    outright (tied to the thread that starts it, so start it from one that lasts as long)."""
    server = subprocess.Popen([reference_model_binary(), "--host", "127.0.0.1", "--port", "0",
                               "--parent-pid", str(os.getpid())],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        line = server.stdout.readline()
        if not line.startswith("listening on "):
            raise RuntimeError(f"{BINARY} did not start: {line.strip() or 'no output'}")
        yield line.removeprefix("listening on ").strip()
    finally:
        server.terminate()
        server.wait(timeout=10)
        server.stdout.close()
