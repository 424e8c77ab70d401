import os
import shutil
import subprocess
from pathlib import Path

import pytest


def build_shim(tmp_path_factory, name):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("shim") / f"{name}.so"
    # The compiler must not run with a sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    source = Path(__file__).parent / "native" / f"{name}.c"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(source), "-ldl"],
        check=True,
        timeout=120,
        env=env,
    )
    return out


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """A preload library whose pthread_create can be told to fail (tests/native/pthread_create_shim.c)."""
    return build_shim(tmp_path_factory, "pthread_create_shim")


@pytest.fixture(scope="session")
def alloc_shim(tmp_path_factory):
    """A preload library that can make the heap run out (tests/native/alloc_shim.c)."""
    return build_shim(tmp_path_factory, "alloc_shim")
