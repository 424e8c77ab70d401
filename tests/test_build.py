"""What the built shared object exposes to the dynamic linker."""

import shutil
import subprocess

import pytest

import veltra_native


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_init_function_is_exported():
    result = subprocess.run(
        ["nm", "-D", "--defined-only", veltra_native.__file__],
        capture_output=True,
        text=True,
        check=True,
    )
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_veltra_native"]
