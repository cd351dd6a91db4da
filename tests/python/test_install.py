"""cmake --install puts the package where the interpreter it was built for
finds it, complete with its type stubs."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

BUILD = os.environ.get("GAINSCAN_BUILD_DIR")
SITE = os.environ.get("GAINSCAN_PYTHON_INSTALL_DIR")
PREFIX = os.environ.get("GAINSCAN_INSTALL_PREFIX")
CMAKE = os.environ.get("GAINSCAN_CMAKE", "cmake")

pytestmark = pytest.mark.skipif(not (BUILD and SITE and PREFIX), reason="ctest sets the build and install directories")


def test_installed_package_imports_from_the_prefix_with_its_stubs(tmp_path, fixture_files):
    subprocess.run(
        [CMAKE, "--install", BUILD, "--prefix", str(tmp_path), "--component", "python"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    package = tmp_path / SITE / "gainscan"
    assert (package / "py.typed").is_file()
    assert (package / "__init__.pyi").is_file()
    program = (
        "import sys, gainscan; "
        "print(gainscan.__file__); "
        "print(gainscan.analyse(sys.argv[1]).to_json())"
    )
    env = dict(os.environ, PYTHONPATH=str(tmp_path / SITE))
    done = subprocess.run(
        [sys.executable, "-c", program, fixture_files[0]], env=env, cwd=tmp_path, stdout=subprocess.PIPE, check=True
    )
    where, line = done.stdout.decode().splitlines()
    assert Path(where).parent == package
    from conftest import run_batch
    import json

    assert json.loads(line) == run_batch(fixture_files[0])[0]


def test_install_directory_is_on_the_interpreters_path_under_its_own_prefix():
    platlib = sysconfig.get_path("platlib")
    if os.path.commonpath([PREFIX, platlib]) != os.path.normpath(PREFIX):
        pytest.skip(f"the install prefix {PREFIX} is not one {sys.executable} searches")
    assert os.path.join(PREFIX, SITE) in sys.path
