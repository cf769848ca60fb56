"""Builds the package's wheel and source archive with the standard library alone.

pip uses it through pyproject.toml (a build backend in the source tree, with
no build requirements), so ``pip install ./python`` needs no package index and
no setuptools: the package is pure Python, its wheel is a zip of its files.
Run as ``python3 velkcandnm_build.py dist-info DIRECTORY`` it writes the
package's metadata into DIRECTORY (a build tree's or an install prefix's
Python path), so that python-can finds the package's entry points there too.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shutil
import sys
import tarfile
import zipfile

NAME = "velkcandnm"
HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCES = ("pyproject.toml", "velkcandnm_build.py", "README.md")


def _version() -> str:
    with open(os.path.join(HERE, NAME, "__init__.py"), encoding="utf-8") as init:
        found = re.search(r'^__version__ = "([^"]+)"', init.read(), re.M)
    if found is None:
        raise ValueError(f"no __version__ in {NAME}/__init__.py")
    return found.group(1)


def _pyproject() -> dict[str, dict[str, str]]:
    """The string values of pyproject.toml by table, quotes left out of the table names."""
    tables: dict[str, dict[str, str]] = {}
    table: dict[str, str] = {}
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as toml:
        for line in toml:
            header = re.fullmatch(r"\[([^\]]+)\]\s*", line)
            value = re.fullmatch(r'\s*([\w.-]+)\s*=\s*"([^"]*)"\s*', line)
            if header:
                table = tables.setdefault(header.group(1).replace('"', ""), {})
            elif value:
                table[value.group(1)] = value.group(2)
    return tables


def _metadata() -> str:
    project = _pyproject()["project"]
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {_version()}\n"
            f"Summary: {project['description']}\n"
            f"Requires-Python: {project['requires-python']}\n")


def _entry_points() -> str:
    """entry_points.txt: the [project.entry-points.GROUP] tables."""
    prefix = "project.entry-points."
    return "".join(f"[{table[len(prefix):]}]\n" + "".join(f"{name} = {value}\n"
                                                          for name, value in entries.items())
                   for table, entries in _pyproject().items() if table.startswith(prefix))


def _dist_info() -> dict[str, bytes]:
    """The files of the package's .dist-info directory that describe it, by path."""
    info = f"{NAME}-{_version()}.dist-info"
    return {f"{info}/METADATA": _metadata().encode(),
            f"{info}/entry_points.txt": _entry_points().encode()}


def write_dist_info(directory: str) -> str:
    """Write the metadata into ``directory``, replacing that of other versions; its path."""
    for stale in os.listdir(directory) if os.path.isdir(directory) else []:
        if stale.startswith(f"{NAME}-") and stale.endswith(".dist-info"):
            shutil.rmtree(os.path.join(directory, stale))
    for path, data in _dist_info().items():
        os.makedirs(os.path.join(directory, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(directory, path), "wb") as file:
            file.write(data)
    return os.path.join(directory, f"{NAME}-{_version()}.dist-info")


def _package_files() -> list[str]:
    """The package's files, relative to this directory, in a stable order."""
    folder = os.path.join(HERE, NAME)
    return sorted(os.path.join(NAME, name) for name in os.listdir(folder)
                  if name.endswith((".py", ".typed")) and not name.startswith("_installed"))


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory: str, config_settings: object = None,
                metadata_directory: object = None) -> str:
    info = f"{NAME}-{_version()}.dist-info"
    wheel_name = f"{NAME}-{_version()}-py3-none-any.whl"
    contents = {path.replace(os.sep, "/"): open(os.path.join(HERE, path), "rb").read()
                for path in _package_files()}
    contents.update(_dist_info())
    contents[f"{info}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: velkcandnm_build\n"
                                 b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    record = "".join(_record_line(path, data) for path, data in contents.items())
    contents[f"{info}/RECORD"] = (record + f"{info}/RECORD,,\n").encode()
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in contents.items():
            wheel.writestr(path, data)
    return wheel_name


def build_sdist(sdist_directory: str, config_settings: object = None) -> str:
    base = f"{NAME}-{_version()}"
    with tarfile.open(os.path.join(sdist_directory, f"{base}.tar.gz"), "w:gz") as sdist:
        for path in [*_SOURCES, *_package_files()]:
            sdist.add(os.path.join(HERE, path), f"{base}/{path}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return f"{base}.tar.gz"


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "dist-info":
        sys.exit("usage: velkcandnm_build.py dist-info DIRECTORY")
    print(write_dist_info(sys.argv[2]), end="")
