"""Builds the folder of wheels that installs orvane.tessel with no package
index, or the sdist of orvane.tessel.

    python tools/build_wheel.py [--build-dir DIR] OUTDIR
    python tools/build_wheel.py --sdist OUTDIR

The first form writes into OUTDIR the wheel of orvane.tessel for the
interpreter that runs this script (through the same build backend that pip
uses; --build-dir keeps its CMake tree for incremental rebuilds), the wheel of
the orvane.utils stand-in (from platform/), a PyYAML wheel packed from
Debian's python3-yaml (its pure-Python part, checked against Debian's own
RECORD) and Debian's setuptools wheel, which venvs of CPython 3.12 and later
lack.  Then

    pip install --no-index --find-links OUTDIR orvane.tessel

installs the command and the modules.  Each wheel's file name is printed.
"""
import argparse
import base64
import glob
import hashlib
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEBIAN = "/usr/lib/python3/dist-packages"
DEBIAN_WHEELS = "/usr/share/python-wheels"
YAML_LICENSE = "/usr/share/doc/python3-yaml/copyright"


def backend(folder, name):
    sys.path.insert(0, folder)
    try:
        return __import__(name)
    finally:
        sys.path.remove(folder)


def tessel_backend():
    return backend(os.path.join(ROOT, "tools", "backend"), "tessel_backend")


def yaml_wheel(outdir):
    """PyYAML's wheel from Debian's files: the Python modules that Debian's
    RECORD lists (its C accelerator, built for Debian's own interpreter, is
    left out: PyYAML then uses its pure-Python parser), PyYAML's METADATA as
    Debian ships it, and the license text."""
    infos = glob.glob(os.path.join(DEBIAN, "PyYAML-*.dist-info"))
    if len(infos) != 1:
        sys.exit("build_wheel: Debian's python3-yaml is not installed (apt-get install python3-yaml)")
    info = infos[0]
    files = []
    with open(os.path.join(info, "RECORD")) as f:
        for line in f:
            arcname, digest, size = line.strip().rsplit(",", 2)
            if not arcname.endswith(".py") or ".dist-info/" in arcname:
                continue
            with open(os.path.join(DEBIAN, arcname), "rb") as src:
                data = src.read()
            got = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            if got != digest or len(data) != int(size):
                sys.exit("build_wheel: %s differs from Debian's RECORD" % arcname)
            files.append((arcname, data, False))
    with open(os.path.join(info, "METADATA"), encoding="utf-8") as f:
        metadata = f.read()
    fields = dict(line.split(": ", 1) for line in metadata.split("\n\n", 1)[0].splitlines() if ": " in line)
    meta = {"name": fields["Name"], "version": fields["Version"]}
    tb = tessel_backend()
    with open(YAML_LICENSE, "rb") as f:
        files.append((tb.dist_info_name(meta) + "/LICENSE", f.read(), False))
    return tb.write_wheel(outdir, meta, "py3-none-any", files, purelib=True, metadata=metadata)


def setuptools_wheel(outdir):
    found = sorted(glob.glob(os.path.join(DEBIAN_WHEELS, "setuptools-*.whl")))
    if not found:
        print("build_wheel: no setuptools wheel in %s (apt-get install python3-setuptools-whl); "
              "venvs without setuptools will need one" % DEBIAN_WHEELS, file=sys.stderr)
        return None
    shutil.copy(found[-1], outdir)
    return os.path.basename(found[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir")
    parser.add_argument("--build-dir", help="keep orvane.tessel's CMake tree here")
    parser.add_argument("--sdist", action="store_true", help="the sdist of orvane.tessel only")
    args = parser.parse_args(argv)
    outdir = os.path.abspath(args.outdir)
    if args.sdist:
        names = [tessel_backend().build_sdist(outdir)]
    else:
        settings = {"build-dir": os.path.abspath(args.build_dir)} if args.build_dir else {}
        names = [tessel_backend().build_wheel(outdir, settings),
                 backend(os.path.join(ROOT, "platform", "_backend"), "standin_backend").build_wheel(outdir),
                 yaml_wheel(outdir),
                 setuptools_wheel(outdir)]
    for name in names:
        if name:
            print(os.path.join(outdir, name))


if __name__ == "__main__":
    main()
