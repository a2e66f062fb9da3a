"""Build backend of orvane.tessel: wheels and sdists (PEP 517) and editable
installs (PEP 660), with no requirements of its own.

pyproject.toml names this module through `backend-path`, so pip runs it from
the source tree and, with build isolation, has nothing to download.  The
libraries are built by CMake from CMakeLists.txt, the one description of how
they are built, for the interpreter that runs this module; the wheel holds
them stripped, beside the package's Python files from python/orvane/tessel.
The metadata comes from the [project] table of pyproject.toml, the version
from `__version__` in the package's __init__.py.

Config settings (pip --config-settings KEY=VALUE):
  build-dir   the folder for the CMake tree and the built libraries; reusing
              one makes a rebuild incremental.  Default: a temporary folder
              for a wheel; build/editable-TAG in the source tree for an
              editable install, whose libraries are loaded from there.
"""
import ast
import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_DIR = os.path.join("python", "orvane", "tessel")
# What an sdist holds: enough to build, test and benchmark.
SDIST_ENTRIES = ["CMakeLists.txt", "Makefile", "README.md", "modules.txt", "pyproject.toml",
                 "bench", "platform", "python", "tessel", "tests", "tools"]
SKIPPED_DIRS = {"__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache"}
# Zip entries get one fixed time, so that the same files give the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
# The [project] keys this backend writes into the metadata; any other key is
# refused rather than silently left out.
PROJECT_KEYS = {"name", "version", "dynamic", "description", "readme", "requires-python",
                "keywords", "classifiers", "dependencies", "scripts"}
README_TYPES = {".md": "text/markdown", ".rst": "text/x-rst", ".txt": "text/plain"}


# ---------------------------------------------------------------- PEP 517 / 660 hooks

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    meta = project()
    dist_info = dist_info_name(meta)
    target = os.path.join(metadata_directory, dist_info)
    os.makedirs(target, exist_ok=True)
    for name, data in dist_info_files(meta, wheel_tag(), purelib=False):
        with open(os.path.join(target, name), "wb") as f:
            f.write(data)
    return dist_info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    meta = project()
    build_dir = _setting(config_settings, "build-dir")
    with tempfile.TemporaryDirectory(prefix="tessel-wheel-") as scratch:
        libraries = cmake_build(os.path.abspath(build_dir) if build_dir else scratch)
        files = python_files()
        for path in libraries:
            stripped = os.path.join(scratch, "stripped-" + os.path.basename(path))
            shutil.copyfile(path, stripped)
            strip(stripped)
            with open(stripped, "rb") as f:
                files.append(("orvane/tessel/" + os.path.basename(path), f.read(), True))
        return write_wheel(wheel_directory, meta, wheel_tag(), files, purelib=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel that points the interpreter at the source tree: the package's
    Python files are used where they are, the libraries are loaded from the
    build folder (rebuilt by running the install again)."""
    meta = project()
    tag = wheel_tag()
    build_dir = _setting(config_settings, "build-dir") or os.path.join(ROOT, "build", "editable-" + tag)
    libraries = cmake_build(os.path.abspath(build_dir))
    libdir = os.path.dirname(libraries[0])
    finder = EDITABLE_FINDER % {"libdir": libdir}
    pth = "%s\nimport _orvane_tessel_editable\n" % os.path.join(ROOT, "python")
    files = [("_orvane_tessel_editable.py", finder.encode(), False),
             ("_orvane_tessel_editable.pth", pth.encode(), False)]
    return write_wheel(wheel_directory, meta, tag, files, purelib=False)


def build_sdist(sdist_directory, config_settings=None):
    meta = project()
    base = "%s-%s" % (normalized(meta["name"]), meta["version"])
    os.makedirs(sdist_directory, exist_ok=True)
    path = os.path.join(sdist_directory, base + ".tar.gz")

    def owned_by_nobody(info):
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info

    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for rel in sdist_files():
            tar.add(os.path.join(ROOT, rel), arcname=base + "/" + rel, recursive=False,
                    filter=owned_by_nobody)
        data = metadata_text(meta).encode()
        info = owned_by_nobody(tarfile.TarInfo(base + "/PKG-INFO"))
        info.size, info.mode = len(data), 0o644
        info.mtime = os.stat(os.path.join(ROOT, "pyproject.toml")).st_mtime
        tar.addfile(info, io.BytesIO(data))
    return os.path.basename(path)


def _setting(config_settings, key):
    value = (config_settings or {}).get(key)
    if isinstance(value, list):  # given more than once: the last one holds
        value = value[-1]
    return value or None


# ---------------------------------------------------------------- building

def cmake_build(build_dir):
    """Configures and builds the CMake tree in build_dir/cmake for this
    interpreter; returns the paths of the package's built libraries."""
    if shutil.which("cmake") is None:
        raise RuntimeError("no `cmake` found: the libraries are built with CMake and g++ "
                           "(Debian: apt-get install cmake g++)")
    cmake_dir = os.path.join(build_dir, "cmake")
    libdir = os.path.join(build_dir, "lib", "orvane", "tessel")
    # Everything that a reused tree may have cached otherwise (a subset of
    # modules, sanitizer flags) is set here.
    _run(["cmake", "-S", ROOT, "-B", cmake_dir,
          "-DPython3_EXECUTABLE=" + sys.executable,
          "-DCMAKE_BUILD_TYPE=Release",
          "-DTESSEL_PACKAGE_DIR=" + libdir,
          "-DTESSEL_TEST_DIR=" + os.path.join(build_dir, "testlib"),
          "-DTESSEL_ONLY=", "-DTESSEL_EXTRA_FLAGS=", "-DTESSEL_FAST_PATHS=ON", "-DTESSEL_CHECKS=OFF"])
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    _run(["cmake", "--build", cmake_dir, "--parallel", jobs])
    # Only this interpreter's libraries: a reused folder may hold others'.
    suffix = EXTENSION_SUFFIXES[0]
    libraries = [os.path.join(libdir, name + suffix) for name in module_names()]
    missing = [path for path in libraries if not os.path.isfile(path)]
    if missing:
        raise RuntimeError("the CMake build left no %s" % ", ".join(missing))
    return libraries


def module_names(root=ROOT):
    """The native modules that modules.txt lists, in its order."""
    names = []
    with open(os.path.join(root, "modules.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", line):
                    raise RuntimeError("modules.txt: %r is not a module name" % line)
                names.append(line)
    return names


def strip(path):
    """Drops the symbols that loading does not need (the exported entry and
    the dynamic symbols stay)."""
    tool = shutil.which("strip")
    if tool is None:
        raise RuntimeError("no `strip` found (Debian's binutils provides it)")
    _run([tool, "--strip-unneeded", path])


def _run(command):
    print("tessel_backend: " + " ".join(command), flush=True)
    subprocess.run(command, check=True)


def python_files():
    """(arcname, data, executable) for the package's files under python/."""
    files = []
    top = os.path.join(ROOT, PACKAGE_DIR)
    for root, dirs, names in os.walk(top):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS)
        for name in sorted(names):
            if name.endswith(".pyc"):
                continue
            full = os.path.join(root, name)
            with open(full, "rb") as f:
                arcname = "orvane/tessel/" + os.path.relpath(full, top).replace(os.sep, "/")
                files.append((arcname, f.read(), False))
    return files


def sdist_files():
    """The sdist's files, relative to the source tree, in a fixed order."""
    found = []
    for entry in SDIST_ENTRIES:
        full = os.path.join(ROOT, entry)
        if os.path.isfile(full):
            found.append(entry)
            continue
        for root, dirs, names in os.walk(full):
            dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS)
            for name in sorted(names):
                if not name.endswith(".pyc"):
                    found.append(os.path.relpath(os.path.join(root, name), ROOT).replace(os.sep, "/"))
    return found


# ---------------------------------------------------------------- the wheel

def wheel_tag():
    """Interpreter, ABI and platform of the running interpreter, e.g.
    cp38-cp38-linux_x86_64 (a debug build's ABI is cp311d)."""
    if sys.implementation.name != "cpython":
        raise RuntimeError("orvane.tessel builds for CPython only")
    soabi = sysconfig.get_config_var("SOABI") or ""  # cpython-38-x86_64-linux-gnu
    parts = soabi.split("-")
    if len(parts) < 2 or parts[0] != "cpython":
        raise RuntimeError("unexpected SOABI %r" % soabi)
    interpreter = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-cp%s-%s" % (interpreter, parts[1], platform)


def normalized(name):
    """The name as wheel and sdist file names spell it: orvane.tessel -> orvane_tessel."""
    return re.sub(r"[-_.]+", "_", name).lower()


def dist_info_name(meta):
    return "%s-%s.dist-info" % (normalized(meta["name"]), meta["version"])


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def dist_info_files(meta, tag, purelib, metadata=None):
    """(name, data) for the .dist-info folder, RECORD aside; `metadata`
    replaces the METADATA made from `meta`."""
    files = [("METADATA", (metadata_text(meta) if metadata is None else metadata).encode()),
             ("WHEEL", ("Wheel-Version: 1.0\nGenerator: tessel_backend\nRoot-Is-Purelib: %s\nTag: %s\n"
                        % ("true" if purelib else "false", tag)).encode())]
    scripts = meta.get("scripts")
    if scripts:
        lines = ["[console_scripts]"] + ["%s = %s" % item for item in scripts.items()]
        files.append(("entry_points.txt", ("\n".join(lines) + "\n").encode()))
    return files


def write_wheel(wheel_directory, meta, tag, files, purelib, metadata=None):
    """Writes the wheel of `files` ((arcname, data, executable) triples) with
    its .dist-info folder and RECORD; returns the wheel's file name.  Used for
    this project's wheel and for other pure-Python ones that the build packs."""
    dist_info = dist_info_name(meta)
    name = "%s-%s-%s.whl" % (normalized(meta["name"]), meta["version"], tag)
    os.makedirs(wheel_directory, exist_ok=True)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as whl:
        def add(arcname, data, executable=False):
            info = zipfile.ZipInfo(arcname, date_time=ZIP_TIME)
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
            records.append(record_line(arcname, data))

        for arcname, data, executable in files:
            add(arcname, data, executable)
        for filename, data in dist_info_files(meta, tag, purelib, metadata):
            add(dist_info + "/" + filename, data)
        records.append(dist_info + "/RECORD,,")
        add_record = zipfile.ZipInfo(dist_info + "/RECORD", date_time=ZIP_TIME)
        add_record.external_attr = 0o100644 << 16
        add_record.compress_type = zipfile.ZIP_DEFLATED
        whl.writestr(add_record, "\n".join(records) + "\n")
    return name


EDITABLE_FINDER = '''\
"""Loads the libraries of an editable install of orvane.tessel from its build folder."""
import importlib.machinery
import importlib.util
import os
import sys

LIBDIR = %(libdir)r


class _Finder:
    """Finds orvane.tessel's extension modules, which the source tree lacks."""

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        package, _, name = fullname.rpartition(".")
        if package != "orvane.tessel":
            return None
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = os.path.join(LIBDIR, name + suffix)
            if os.path.isfile(candidate):
                return importlib.util.spec_from_file_location(fullname, candidate)
        return None


if not any(getattr(f, "__module__", None) == __name__ for f in sys.meta_path):
    sys.meta_path.append(_Finder)
'''


# ---------------------------------------------------------------- metadata

def project(root=ROOT):
    """The [project] table of pyproject.toml, its dynamic version filled in."""
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        meta = dict(read_toml(f.read().decode("utf-8"))["project"])
    unknown = set(meta) - PROJECT_KEYS
    if unknown:
        raise RuntimeError("pyproject.toml: this backend does not write %s" % ", ".join(sorted(unknown)))
    if "version" in meta.get("dynamic", ()):
        meta["version"] = package_version(root)
    return meta


def package_version(root=ROOT):
    """`__version__` of the package, read without importing it."""
    with open(os.path.join(root, PACKAGE_DIR, "__init__.py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__version__" for t in node.targets):
            return ast.literal_eval(node.value)
    raise RuntimeError("%s/__init__.py sets no __version__" % PACKAGE_DIR)


def metadata_text(meta, root=ROOT):
    """The core metadata (version 2.1) of METADATA and PKG-INFO."""
    lines = ["Metadata-Version: 2.1", "Name: " + meta["name"], "Version: " + meta["version"]]
    if "description" in meta:
        lines.append("Summary: " + meta["description"])
    if meta.get("keywords"):
        lines.append("Keywords: " + ",".join(meta["keywords"]))
    if "requires-python" in meta:
        lines.append("Requires-Python: " + meta["requires-python"])
    lines += ["Classifier: " + c for c in meta.get("classifiers", [])]
    lines += ["Requires-Dist: " + d for d in meta.get("dependencies", [])]
    body = ""
    readme = meta.get("readme")
    if isinstance(readme, str):
        suffix = os.path.splitext(readme)[1].lower()
        if suffix not in README_TYPES:
            raise RuntimeError("pyproject.toml: no content type known for readme %r" % readme)
        with open(os.path.join(root, readme), encoding="utf-8") as f:
            body = f.read()
        lines.append("Description-Content-Type: " + README_TYPES[suffix])
    elif readme is not None:
        raise RuntimeError("pyproject.toml: readme must name a file")
    return "\n".join(lines) + "\n\n" + body


# ---------------------------------------------------------------- TOML

def read_toml(text):
    """Parses TOML with tomllib (3.11 on) or tomli where present; otherwise
    with the small reader below, which knows what this project's
    pyproject.toml files use."""
    try:
        import tomllib as toml
    except ImportError:
        try:
            import tomli as toml
        except ImportError:
            return read_toml_subset(text)
    return toml.loads(text)


_TABLE = re.compile(r"\[\s*([A-Za-z0-9_-]+(?:\s*\.\s*[A-Za-z0-9_-]+)*)\s*\]\Z")


def read_toml_subset(text):
    """TOML limited to [table] headers with bare names and `key = value`
    lines whose key is bare or a basic string and whose value is a string,
    a number, a boolean or an array of strings and numbers (spanning lines
    if need be).  Anything else is refused with its line number."""
    doc = {}
    table = doc
    pending, start = "", 0
    for number, raw in enumerate(text.splitlines(), 1):
        line = _uncomment(raw).strip()
        if pending:
            line = pending + " " + line
        elif not line:
            continue
        else:
            start = number
        if not pending and line.startswith("["):
            match = _TABLE.match(line)
            if not match:
                raise ValueError("pyproject.toml, line %d: unsupported table header" % number)
            table = doc
            for part in match.group(1).split("."):
                table = table.setdefault(part.strip(), {})
                if not isinstance(table, dict):
                    raise ValueError("pyproject.toml, line %d: not a table" % number)
            continue
        split = _split_key(line)
        if split is None:
            raise ValueError("pyproject.toml, line %d: expected key = value" % start)
        key, value = split
        if _depth(value) > 0:
            pending = line
            continue
        pending = ""
        if key in table:
            raise ValueError("pyproject.toml, line %d: %s set twice" % (start, key))
        table[key] = _value(value.strip(), start)
    if pending:
        raise ValueError("pyproject.toml, line %d: unclosed array" % start)
    return doc


def _split_key(line):
    """(key, value text) of a `key = value` line, or None."""
    match = re.match(r'(?:([A-Za-z0-9_-]+)|"([^"\\]*)")\s*=(.*)\Z', line)
    if match is None:
        return None
    return match.group(1) if match.group(1) is not None else match.group(2), match.group(3)


def _scan(text):
    """Yields (index, character, inside a string) over one line of TOML."""
    quote = None
    escaped = False
    for i, ch in enumerate(text):
        if quote:
            yield i, ch, True
            if escaped:
                escaped = False
            elif ch == "\\" and quote == '"':
                escaped = True
            elif ch == quote:
                quote = None
        else:
            if ch in "\"'":
                quote = ch
            yield i, ch, quote is not None


def _uncomment(line):
    for i, ch, inside in _scan(line):
        if ch == "#" and not inside:
            return line[:i]
    return line


def _depth(text):
    depth = 0
    for _, ch, inside in _scan(text):
        if not inside:
            depth += (ch == "[") - (ch == "]")
    return depth


def _value(text, number):
    if text in ("true", "false"):
        return text == "true"
    # Strings without escapes, numbers and arrays of them read the same as
    # Python literals; the checks refuse the rest.
    try:
        value = ast.literal_eval(text) if "\\" not in text else None
    except (ValueError, SyntaxError):
        value = None
    items = value if isinstance(value, list) else [value]
    if not all(type(v) in (str, int, float) for v in items):
        raise ValueError("pyproject.toml, line %d: value beyond what this reader knows "
                         "(install tomli): %s" % (number, text))
    return value
