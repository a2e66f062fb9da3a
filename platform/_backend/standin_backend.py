"""Build backend of the orvane.utils stand-in: a pure-Python wheel and an
sdist of the package folder orvane/utils beside this folder (PEP 517)."""
import base64
import hashlib
import io
import os
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "orvane.utils"
FILE_NAME = "orvane_utils"
# Low on purpose: any release of the real package is newer.
VERSION = "0.0.1"
TAG = "py3-none-any"
METADATA = """\
Metadata-Version: 2.1
Name: {name}
Version: {version}
Summary: Stand-in for the product's utility package: orvane.utils.strings.typecast_str only
Requires-Python: >=3.8
Classifier: Programming Language :: Python :: 3
Description-Content-Type: text/plain

Only what orvane.tessel imports from the product's utility package, for
machines that do not have that package: orvane.utils.strings.typecast_str.
""".format(name=NAME, version=VERSION)
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _package_files():
    """Paths relative to ROOT of the package's files, in a fixed order."""
    found = []
    for root, dirs, names in os.walk(os.path.join(ROOT, "orvane")):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        found += [os.path.relpath(os.path.join(root, n), ROOT).replace(os.sep, "/")
                  for n in sorted(names) if not n.endswith(".pyc")]
    return found


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = "%s-%s.dist-info" % (FILE_NAME, VERSION)
    name = "%s-%s-%s.whl" % (FILE_NAME, VERSION, TAG)
    records = []
    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as whl:
        def add(arcname, data):
            info = zipfile.ZipInfo(arcname, date_time=ZIP_TIME)
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            records.append("%s,sha256=%s,%d" % (arcname, digest, len(data)))

        for rel in _package_files():
            with open(os.path.join(ROOT, rel), "rb") as f:
                add(rel, f.read())
        add(dist_info + "/METADATA", METADATA.encode())
        add(dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: standin_backend\n"
                                   "Root-Is-Purelib: true\nTag: %s\n" % TAG).encode())
        records.append(dist_info + "/RECORD,,")
        info = zipfile.ZipInfo(dist_info + "/RECORD", date_time=ZIP_TIME)
        info.external_attr = 0o100644 << 16
        whl.writestr(info, "\n".join(records) + "\n")
    return name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (FILE_NAME, VERSION)
    os.makedirs(sdist_directory, exist_ok=True)
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz",
                      format=tarfile.PAX_FORMAT) as tar:
        for rel in ["pyproject.toml", "_backend/standin_backend.py"] + _package_files():
            tar.add(os.path.join(ROOT, rel), arcname=base + "/" + rel, recursive=False)
        data = METADATA.encode()
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size, info.mode = len(data), 0o644
        tar.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"
