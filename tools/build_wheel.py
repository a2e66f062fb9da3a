"""Builds the wheel of orvane.tessel from an importable tree, offline.

    python tools/build_wheel.py LIBDIR OUTDIR

LIBDIR is the tree that `make build` leaves (it holds orvane/tessel with the
built libraries); the interpreter running this script gives the wheel's tags.
"""
import base64
import hashlib
import os
import sys
import sysconfig
import zipfile

NAME = "orvane_tessel"
SUMMARY = "Native data structures for CPython: attribute dicts, layered settings, " \
          "path/value lists, weak lists, logic tests, tree drawings, class properties"


def version(libdir):
    namespace = {}
    with open(os.path.join(libdir, "orvane", "tessel", "__init__.py")) as f:
        for line in f:
            if line.startswith("__version__"):
                exec(line, namespace)
    return namespace["__version__"]


def tag():
    impl = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (impl, impl, platform)


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def main(libdir, outdir):
    ver = version(libdir)
    wheel_tag = tag()
    dist_info = "%s-%s.dist-info" % (NAME, ver)
    os.makedirs(outdir, exist_ok=True)
    path = os.path.join(outdir, "%s-%s-%s.whl" % (NAME, ver, wheel_tag))
    package = os.path.join(libdir, "orvane", "tessel")
    records = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        def add(arcname, data):
            whl.writestr(arcname, data)
            records.append(record_line(arcname, data))

        for root, dirs, files in os.walk(package):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(files):
                if name.endswith(".pyc"):
                    continue
                full = os.path.join(root, name)
                arcname = os.path.relpath(full, libdir).replace(os.sep, "/")
                with open(full, "rb") as f:
                    add(arcname, f.read())
        add(dist_info + "/METADATA", (
            "Metadata-Version: 2.1\nName: orvane-tessel\nVersion: %s\nSummary: %s\n"
            "Requires-Python: >=3.8\nRequires-Dist: PyYAML\nRequires-Dist: setuptools\n" % (ver, SUMMARY)).encode())
        add(dist_info + "/WHEEL", (
            "Wheel-Version: 1.0\nGenerator: orvane.tessel build_wheel\nRoot-Is-Purelib: false\n"
            "Tag: %s\n" % wheel_tag).encode())
        add(dist_info + "/entry_points.txt", b"[console_scripts]\ntessel = orvane.tessel.cli:main\n")
        add(dist_info + "/top_level.txt", b"orvane\n")
        records.append(dist_info + "/RECORD,,")
        whl.writestr(dist_info + "/RECORD", "\n".join(records) + "\n")
    print(path)
    return path


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
