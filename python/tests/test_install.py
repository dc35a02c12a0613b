"""`pip install ./python` offline, in a fresh virtual environment that sees
Debian's packages, and the installed package finding the model library:
beside the orvo executable of a build tree, and inside a wheel that carries
it."""

import os
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import REPO

PYTHON_DIR = os.path.join(REPO, "python")


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def outside_the_tree(environment, **extra):
    """The environment without the tree's package or library."""
    clean = {k: v for k, v in environment.items() if k not in ("PYTHONPATH", "ORVO_LIB", "ORVO_CLI")}
    clean["PATH"] = "/usr/bin:/bin"
    clean["PIP_NO_INDEX"] = "1"  # offline, whatever the machine's pip settings
    clean.update(extra)
    return clean


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    folder = tmp_path_factory.mktemp("venv")
    done = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(folder)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"no venv with pip here: {done.stderr.strip()}")
    return folder


def test_pip_install_offline_finds_the_build_tree(venv, tmp_path):
    library = os.path.realpath(os.environ["ORVO_LIB"])
    cli = os.environ.get("ORVO_CLI") or pytest.skip("no orvo executable")
    environment = outside_the_tree(os.environ)
    run([f"{venv}/bin/pip", "install", "--no-index", "--no-deps", PYTHON_DIR], env=environment, cwd=tmp_path)
    script = ("import orvo; print(orvo.__file__); print(orvo.find_library()); "
              "print(orvo.Model().run({'tstop': 48, 'cint': 24, 'pdoseug_i': 200}, record=['ca_mi'])['ca_mi'].iloc[-1])")
    # not found without a hint, with a message that says where it looked
    done = subprocess.run([f"{venv}/bin/python", "-c", script], capture_output=True, text=True, cwd=tmp_path,
                          env=environment)
    assert done.returncode != 0 and "LibraryError" in done.stderr and "on PATH" in done.stderr
    # the build tree's orvo on PATH (or named by ORVO_CLI) leads to its libraries
    for hint in ({"PATH": f"{os.path.dirname(cli)}:/usr/bin:/bin"}, {"ORVO_CLI": cli}):
        package, found, value = run([f"{venv}/bin/python", "-c", script], cwd=tmp_path,
                                    env={**environment, **hint}).split()
        assert package.startswith(str(venv)) and found == library and float(value) > 0


def test_wheel_carries_the_model_library(venv, tmp_path):
    library = os.path.realpath(os.environ["ORVO_LIB"])
    source = tmp_path / "python"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "bench"))
    folder = os.path.dirname(library)
    for name in (os.path.basename(library), os.path.splitext(os.path.basename(library))[0] + ".json"):
        shutil.copy(os.path.join(folder, name), source / "orvo")
    model_name = os.path.basename(library)[len("liborvo_"):-len(".so")]
    (source / "orvo" / "orvo-default-model").write_text(model_name + "\n")
    environment = outside_the_tree(os.environ)
    run([f"{venv}/bin/pip", "wheel", "--no-index", "--no-deps", "-w", str(tmp_path / "dist"), str(source)],
        env=environment, cwd=tmp_path)
    (wheel,) = os.listdir(tmp_path / "dist")
    assert "-py3-none-linux" in wheel  # platform-specific: it holds a shared library
    names = zipfile.ZipFile(tmp_path / "dist" / wheel).namelist()
    assert f"orvo/{os.path.basename(library)}" in names and "orvo/orvo-default-model" in names
    run([f"{venv}/bin/pip", "install", "--no-index", "--no-deps", "--force-reinstall",
         str(tmp_path / "dist" / wheel)], env=environment, cwd=tmp_path)
    found = run([f"{venv}/bin/python", "-c", "import orvo; print(orvo.find_library()); "
                 "print(orvo.Model().variable('ca_mi').units)"], cwd=tmp_path, env=environment).split()
    assert found[0].startswith(str(venv)) and found[0].endswith(os.path.basename(library)) and found[1]
