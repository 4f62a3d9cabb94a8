"""Output files that appear whole or not at all, and never replace an
existing file unless asked to."""

import contextlib
import os
import tempfile


class OutputExists(Exception):
    """The output file exists and replacing it was not allowed."""

    def __init__(self, path):
        super().__init__(f"{path} exists (use --force to replace it)")
        self.path = path


def check_free(paths, force):
    """Raise OutputExists for the first of `paths` that exists, unless `force`."""
    if force:
        return
    for path in paths:
        if os.path.lexists(path):
            raise OutputExists(path)


@contextlib.contextmanager
def atomic_output(path, force=False, mode="wb"):
    """Open a temporary file beside `path` for writing; when the block ends
    without an error, move it into place in one step. On an error the
    temporary file is removed and `path` is left as it was.

    Without `force` an existing `path` is never replaced, even one that
    appears while the block runs: the file is then linked into place, which
    fails instead of overwriting.
    """
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, exist_ok=True)
    check_free([path], force)
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                                     dir=folder)
    try:
        with os.fdopen(fd, mode, **({"encoding": "utf-8", "newline": ""}
                                    if "b" not in mode else {})) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        if force:
            os.replace(temporary, path)
        else:
            _link_without_replacing(temporary, path)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _link_without_replacing(temporary, path):
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise OutputExists(path) from None
    except OSError:
        # File systems without hard links: check, then rename.
        check_free([path], force=False)
        os.replace(temporary, path)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_bytes(path, data, force=False):
    with atomic_output(path, force) as f:
        f.write(data)
