"""Builds the orvo package's wheel and sdist with the standard library alone,
so that `pip install ./python` needs no download: the build requires
nothing (pyproject.toml names this module as its backend).

The wheel holds the orvo package and, when model libraries were copied into
it (orvo/liborvo_*.so with their .json metadata and orvo-default-model),
those too; it is then tagged for this platform instead of pure Python."""

import base64
import hashlib
import io
import os
import sysconfig
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11
    tomllib = None

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "orvo"
LIBRARY_FILES = (".so", ".json")


def _project():
    path = os.path.join(HERE, "pyproject.toml")
    if tomllib is not None:
        with open(path, "rb") as f:
            return tomllib.load(f)["project"]
    return _read_project_table(path)


def _read_project_table(path):
    """The [project] table, for interpreters without tomllib: this file's
    keys hold one-line strings and lists."""
    import ast

    project, section = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split(" #")[0].rstrip()
            if line.startswith("["):
                section = line.strip("[]")
                continue
            if section == "project.optional-dependencies" and "=" in line:
                key, value = (part.strip() for part in line.split("=", 1))
                project.setdefault("optional-dependencies", {})[key] = ast.literal_eval(value)
            elif section == "project" and "=" in line:
                key, value = (part.strip() for part in line.split("=", 1))
                project[key] = ast.literal_eval(value)
    return project


def _package_files():
    """(path in the wheel, path on disk) of the package, sorted."""
    found = []
    root = os.path.join(HERE, PACKAGE)
    for folder, folders, files in os.walk(root):
        folders[:] = sorted(d for d in folders if d != "__pycache__")
        for name in sorted(files):
            if name.endswith(".py") or name.endswith(LIBRARY_FILES) or name == "orvo-default-model" \
                    or name == "py.typed":
                disk = os.path.join(folder, name)
                found.append((os.path.relpath(disk, HERE).replace(os.sep, "/"), disk))
    return found


def _carries_libraries(files):
    return any(path.endswith(".so") for path, _ in files)


def _tag(files):
    if not _carries_libraries(files):
        return "py3-none-any", True
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"py3-none-{platform}", False


def _metadata(project):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}"]
    if project.get("description"):
        lines.append(f"Summary: {project['description']}")
    if project.get("requires-python"):
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"' for requirement in requirements]
    readme = os.path.join(HERE, project.get("readme", "README.md"))
    text = ""
    if os.path.isfile(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
    return "\n".join(lines) + "\n\n" + text


def _dist_info(project):
    return f"{project['name']}-{project['version']}.dist-info"


def _wheel_name(project, tag):
    return f"{project['name']}-{project['version']}-{tag}.whl"


def _write_wheel(directory, project, contents, tag, purelib):
    """contents: [(path in the wheel, bytes, executable)]."""
    info = _dist_info(project)
    contents = list(contents)
    contents.append((f"{info}/METADATA", _metadata(project).encode(), False))
    wheel = (f"Wheel-Version: 1.0\nGenerator: orvo\nRoot-Is-Purelib: {'true' if purelib else 'false'}\n"
             f"Tag: {tag}\n")
    contents.append((f"{info}/WHEEL", wheel.encode(), False))
    contents.append((f"{info}/top_level.txt", f"{PACKAGE}\n".encode(), False))
    record = []
    for path, data, _ in contents:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    contents.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode(), False))
    name = _wheel_name(project, tag)
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data, executable in contents:
            entry = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if executable else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return name


# ---- PEP 517 and PEP 660 hooks ------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    files = _package_files()
    tag, purelib = _tag(files)
    contents = []
    for path, disk in files:
        with open(disk, "rb") as f:
            contents.append((path, f.read(), path.endswith(".so")))
    return _write_wheel(wheel_directory, project, contents, tag, purelib)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file puts this folder on sys.path: the package runs from here.
    project = _project()
    contents = [(f"__editable__.{PACKAGE}.pth", (HERE + "\n").encode(), False)]
    return _write_wheel(wheel_directory, project, contents, "py3-none-any", True)


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{project['name']}-{project['version']}"
    name = f"{base}.tar.gz"
    members = ["pyproject.toml", "README.md", os.path.basename(__file__)]
    members += [path for path, _ in _package_files()]
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for member in members:
            archive.add(os.path.join(HERE, member), arcname=f"{base}/{member}", recursive=False)
        pkg_info = _metadata(project).encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(pkg_info)
        archive.addfile(entry, io.BytesIO(pkg_info))
    return name
