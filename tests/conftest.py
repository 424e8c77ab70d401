import os
import shutil
import subprocess
from pathlib import Path

import pytest


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """A preload library whose pthread_create can be told to fail (tests/native/pthread_create_shim.c)."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("shim") / "pthread_create_shim.so"
    # The compiler must not run with a sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    source = Path(__file__).parent / "native" / "pthread_create_shim.c"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(source), "-ldl"],
        check=True,
        timeout=120,
        env=env,
    )
    return out
