"""Builds the package's wheel and source archive with the standard library alone.

pip uses it through pyproject.toml (a build backend in the source tree, with
no build requirements), so ``pip install ./python`` needs no package index and
no setuptools: the package is pure Python, its wheel is a zip of its files.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
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


def _metadata() -> str:
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: The DeviceNet master library libVELKCANDNM from Python, through ctypes\n"
            "Requires-Python: >=3.9\n")


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
    contents[f"{info}/METADATA"] = _metadata().encode()
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
