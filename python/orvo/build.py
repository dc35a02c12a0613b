"""Building a model library from its description with the orvo that came
with the package (`orvo build`)."""

from __future__ import annotations

import os
from typing import Optional
import subprocess

from .errors import CliError
from .model import Model
from ._types import PathLike
from .population import find_cli


def build(description: PathLike, out: Optional[PathLike] = None, from_format: Optional[str] = None,
          cli: Optional[PathLike] = None) -> Model:
    """Builds liborvo_NAME.so from a model description (NAME as it declares
    itself) into `out` (default: the description's folder) and returns the
    Model. `from_format="mcsim"` translates a GNU MCSim model file first.
    A fault in the description raises CliError carrying its
    file:line:col messages."""
    description = os.fspath(description)
    out = os.fspath(out) if out is not None else (os.path.dirname(os.path.abspath(description)) or ".")
    command = [find_cli(cli), "build", "--out", out]
    if from_format is not None:
        command += ["--from", from_format]
    command += ["--", description]  # a name such as "-x.model" is a file, not an option
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as exc:
        raise CliError(f"cannot run {command[0]}: {exc}") from exc
    with process:
        try:
            _, raw = process.communicate()
        except BaseException:
            # Ctrl-C (a notebook's interrupt reaches this process only): orvo
            # build stops its compiler and removes its scratch files on SIGTERM.
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
            raise
    # Its messages carry paths as the file system has them, UTF-8 or not.
    stderr = os.fsdecode(raw)
    if process.returncode != 0:
        # The command line's advice, in this function's words.
        stderr = stderr.replace("give --out another folder", "give build() another folder as out=")
        raise CliError("orvo build failed", process.returncode, stderr)
    written = [line.split("wrote ", 1)[1].strip() for line in stderr.splitlines() if " wrote " in line]
    if not written:
        raise CliError("orvo build reported no library", process.returncode, stderr)
    return Model(lib=written[-1])
