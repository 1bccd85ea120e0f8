"""Builds the sorvane wheel: the Python modules and the shared libsorvane
built from this repository with CMake, in one wheel for this platform.

Nothing outside the standard library and CMake is used, so that the package
installs into a fresh virtual environment without a package index
(``pip install --no-index --no-build-isolation ./python``).

Settings (environment):
  SORVANE_SOURCE_DIR   the repository root (default: the folder above python/)
  SORVANE_BUILD_DIR    the CMake build folder (default: <root>/build-python)
  SORVANE_LIBRARY      a built libsorvane to bundle instead of building one
  CMAKE_BUILD_PARALLEL_LEVEL  build jobs (default 2)
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

_HERE = Path(__file__).resolve().parent
_PACKAGE_ROOT = _HERE.parent  # python/
_NAME = "sorvane"


def _source_dir():
    given = os.environ.get("SORVANE_SOURCE_DIR")
    root = Path(given) if given else _PACKAGE_ROOT.parent
    if not (root / "include" / "sorvane" / "sorvane.h").is_file():
        raise RuntimeError(
            "sorvane: the library's sources are not at %s; build the package from the repository's "
            "python/ folder or set SORVANE_SOURCE_DIR to the repository" % root)
    return root


def _version():
    header = (_source_dir() / "include" / "sorvane" / "sorvane.h").read_text()
    match = re.search(r'#define SORVANE_VERSION_STRING "([0-9.]+)"', header)
    if not match:
        raise RuntimeError("sorvane: no SORVANE_VERSION_STRING in sorvane.h")
    return match.group(1)


def _tag():
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    # ctypes code runs on every Python 3; only the bundled library ties the
    # wheel to a platform.
    return "py3", "none", platform


def _dist_info_name():
    return "%s-%s.dist-info" % (_NAME, _version())


def _metadata():
    readme = (_PACKAGE_ROOT / "README.md")
    text = [
        "Metadata-Version: 2.1",
        "Name: %s" % _NAME,
        "Version: %s" % _version(),
        "Summary: Read, extract, create and update MPQ game archives (ctypes over libsorvane)",
        "Requires-Python: >=3.9",
    ]
    if readme.is_file():
        text.append("Description-Content-Type: text/markdown")
        return "\n".join(text) + "\n\n" + readme.read_text()
    return "\n".join(text) + "\n"


def _wheel_text():
    return "Wheel-Version: 1.0\nGenerator: sorvane_backend\nRoot-Is-Purelib: false\nTag: %s\n" % "-".join(_tag())


def _library_name():
    if sys.platform == "win32":
        return "libsorvane.dll"
    if sys.platform == "darwin":
        return "libsorvane.dylib"
    return "libsorvane.so"


def _build_library():
    """Builds the shared library and returns the path of the file itself."""
    given = os.environ.get("SORVANE_LIBRARY")
    if given:
        return Path(given).resolve()
    root = _source_dir()
    build = Path(os.environ.get("SORVANE_BUILD_DIR") or root / "build-python")
    configure = ["cmake", "-S", str(root), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_SHARED_LIBS=ON", "-DTAVRIX_TESTS=OFF"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    if shutil.which("cmake") is None:
        raise RuntimeError("sorvane: cmake is needed to build the library (Debian: apt-get install cmake g++ "
                           "zlib1g-dev libbz2-dev libgcrypt20-dev)")
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    out = sys.stderr
    subprocess.run(configure, check=True, stdout=out)
    subprocess.run(["cmake", "--build", str(build), "--target", "sorvane_lib", "-j", jobs], check=True, stdout=out)
    folder = build / "archive"
    name = _library_name()
    if sys.platform.startswith("linux") or sys.platform.startswith("freebsd"):
        # The file behind the SONAME links.
        return (folder / name).resolve()
    return folder / name


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def _package_files():
    """(name in the wheel, bytes) of the modules and marker files."""
    files = []
    for path in sorted((_PACKAGE_ROOT / _NAME).iterdir()):
        if path.suffix in (".py", ".typed", ".pyi") and path.is_file():
            files.append(("%s/%s" % (_NAME, path.name), path.read_bytes()))
    return files


# ---- PEP 517 hooks -------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = Path(metadata_directory) / _dist_info_name()
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata())
    (info / "WHEEL").write_text(_wheel_text())
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    library = _build_library()
    if not library.is_file():
        raise RuntimeError("sorvane: the built library is not at %s" % library)
    # The loader looks for the SONAME's file name.
    bundled = _library_name() + (".1" if library.name.startswith("libsorvane.so.") else "")
    files = _package_files()
    files.append(("%s/%s" % (_NAME, bundled), library.read_bytes()))
    info = _dist_info_name()
    files.append(("%s/METADATA" % info, _metadata().encode()))
    files.append(("%s/WHEEL" % info, _wheel_text().encode()))
    wheel_name = "%s-%s-%s.whl" % (_NAME, _version(), "-".join(_tag()))
    target = Path(wheel_directory) / wheel_name
    target.parent.mkdir(parents=True, exist_ok=True)
    record = [_record_line(name, data) for name, data in files]
    record.append("%s/RECORD,," % info)
    with zipfile.ZipFile(str(target), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if name.endswith(bundled) else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
        entry = zipfile.ZipInfo("%s/RECORD" % info, date_time=(2020, 1, 1, 0, 0, 0))
        entry.external_attr = 0o644 << 16
        wheel.writestr(entry, "\n".join(record) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    # The package is built from the repository it lives in (the library's
    # sources are its parent folder); a source archive of python/ alone could
    # not build.
    raise RuntimeError("sorvane: no source distribution; build the wheel from the repository "
                       "(pip wheel --no-index --no-build-isolation ./python)")
