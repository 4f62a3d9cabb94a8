"""The `linara` command: detect, warp and demo."""

import argparse
import glob
import importlib.resources
import io
import os
import sys

from .batch import ClusterUnavailable, DetectOptions, detect_file, run_dask, run_local
from .formats import FORMATS, TableWriter, format_for
from .images import (IMAGE_SUFFIXES, LUMA_TEXT, ImageError, MissingDependency, read_image)
from .outputs import OutputExists, atomic_output, check_free, write_bytes
from .overlay import COLOR_MODES
from .png import encode_png
from .warping import rectify_corners, warp_image

DEMO_PHOTO = "rocket.jpg"
DEMO_OUTPUT = "linara-demo.svg"


class UsageError(Exception):
    """A command line that cannot be carried out; exit status 2."""


class Reporter:
    """Error lines on stderr that do not tear a progress bar apart."""

    def __init__(self, progress):
        self.failures = 0
        self.write = lambda text: print(text, file=sys.stderr)
        if progress:
            try:
                from tqdm import tqdm
                self.write = lambda text: tqdm.write(text, file=sys.stderr)
            except ImportError:
                pass

    def fail(self, path, reason):
        self.failures += 1
        self.write(f"linara: {path}: {reason}")


# ---------------------------------------------------------------- arguments

def _numbers(text, count, what):
    try:
        values = [float(v) for v in text.replace(" ", "").split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be {count} comma-separated numbers")
    if len(values) != count:
        raise argparse.ArgumentTypeError(
            f"{what} must be {count} comma-separated numbers, got {len(values)}")
    return values


def _size(text):
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("size must look like 800x600") from None
    if width < 1 or height < 1:
        raise argparse.ArgumentTypeError("size must be at least 1x1")
    return width, height


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _bit_depth(text):
    value = int(text)
    if not 1 <= value <= 16:
        raise argparse.ArgumentTypeError("must be between 1 and 16")
    return value


DETECT_TEXT = f"""\
Find line segments in images and write one row per segment: the source file,
x1, y1, x2, y2, width, precision, log_nfa, angle and length. Coordinates put
pixel (x, y) on the square [x, x+1) x [y, y+1).

Images are read as stored, without applying orientation tags (PNG, JPEG,
TIFF, PGM and other formats Pillow reads; TIFF through tifffile, keeping
16-bit and float samples; 16-bit colour PNG is refused, since Pillow would
keep only 8 bits of it). Colour becomes gray by
    {LUMA_TEXT};
alpha is ignored. The detector expects samples on a 0-255 scale (uint16 is
divided by 257): a float image whose samples all lie in [0, 1] is multiplied
by 255, and --bit-depth N multiplies N-bit data (say 12-bit camera data
stored in uint16) by 255 / (2^N - 1); a file with larger samples fails.

A file that cannot be read is reported on stderr with the reason, the others
go on, and the exit status is 1. Outputs are written whole or not at all and
never replace an existing file without --force."""

WARP_TEXT = """\
Warp an image through an inverse homography (--inverse), or rectify a
quadrilateral such as a photographed page to an upright rectangle
(--corners). Gray, RGB and RGBA images of 8 or 16 bits are warped channel by
channel and keep their channels; pixels whose source point lies outside the
image are 0. 16-bit results can be written as .png or .tif.

Point coordinates put the centre of pixel column x, row y at (x, y), as NumPy
indices do. Coordinates taken from `linara detect` output, which puts pixel
(x, y) on [x, x+1) x [y, y+1), need 0.5 subtracted. Write lists that start
with a minus sign as --offset=-10,5."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="linara", description="Line segment detection and perspective warps.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    formatter = argparse.RawDescriptionHelpFormatter

    detect = commands.add_parser("detect", help="find line segments in image files",
                                 description=DETECT_TEXT, formatter_class=formatter)
    detect.add_argument("paths", nargs="+", metavar="PATH",
                        help="image files, directories or glob patterns")
    detect.add_argument("-o", "--output", metavar="FILE",
                        help="write the table to FILE instead of stdout")
    detect.add_argument("--format", choices=FORMATS,
                        help="table format (default: from the -o name's ending, else csv)")
    detect.add_argument("--scale", type=float, default=0.8,
                        help="sub-sampling factor of the detector (default 0.8; 1 = none)")
    detect.add_argument("--bit-depth", type=_bit_depth, metavar="N",
                        help="integer samples are N-bit data: scale them by 255 / (2^N - 1)")
    detect.add_argument("-r", "--recursive", action="store_true",
                        help="descend into sub-directories (and let ** match them in globs)")
    detect.add_argument("--overlay", metavar="OUT",
                        help="draw the segments over the image into OUT (.svg or .png); with "
                             "several files OUT is a directory (SVG files) or holds {stem}, "
                             "the input's name without its ending")
    detect.add_argument("--color-by", choices=COLOR_MODES, default="angle",
                        help="overlay colour by direction or by significance (default angle)")
    where = detect.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_positive_int, default=1, metavar="N",
                       help="process files in N processes (default 1)")
    where.add_argument("--dask", metavar="ADDRESS",
                       help="process files on the Dask cluster whose scheduler is at ADDRESS; "
                            "the workers must be able to read the files")
    detect.add_argument("-f", "--force", action="store_true",
                        help="replace existing output files")
    detect.set_defaults(run=run_detect)

    warp = commands.add_parser("warp", help="perspective-warp or rectify an image",
                               description=WARP_TEXT, formatter_class=formatter)
    warp.add_argument("image", metavar="IMAGE")
    warp.add_argument("-o", "--output", metavar="OUT", required=True,
                      help="output image (.png, .tif, or for 8-bit also .jpg, .bmp, .ppm ...)")
    how = warp.add_mutually_exclusive_group(required=True)
    how.add_argument("--inverse", metavar="h0,...,h8",
                     type=lambda t: _numbers(t, 9, "--inverse"),
                     help="row-major 3x3 matrix mapping output plane points to the source")
    how.add_argument("--corners", metavar="x1,y1,...,x4,y4",
                     type=lambda t: _numbers(t, 8, "--corners"),
                     help="source corners: top-left, top-right, bottom-right, bottom-left")
    warp.add_argument("--scale", type=float, metavar="S",
                      help="with --inverse: output pixels per plane unit (default 1)")
    warp.add_argument("--offset", metavar="X,Y", type=lambda t: _numbers(t, 2, "--offset"),
                      help="with --inverse: plane point at the output's top-left (default 0,0)")
    warp.add_argument("--size", type=_size, metavar="WxH",
                      help="output size (default: the input's, or with --corners the "
                           "quadrilateral's longer sides)")
    warp.add_argument("-f", "--force", action="store_true", help="replace an existing output")
    warp.set_defaults(run=run_warp)

    demo = commands.add_parser(
        "demo", help="detect segments in a bundled photograph and draw them",
        description="Detect segments in a small photograph shipped with linara and draw "
                    f"them into an SVG file (default ./{DEMO_OUTPUT}).")
    demo.add_argument("-o", "--output", default=DEMO_OUTPUT, metavar="OUT",
                      help=f"overlay file, .svg or .png (default {DEMO_OUTPUT})")
    demo.add_argument("--color-by", choices=COLOR_MODES, default="angle")
    demo.add_argument("-f", "--force", action="store_true", help="replace an existing output")
    demo.set_defaults(run=run_demo)
    return parser


def _version():
    try:
        from importlib.metadata import version
        return version("linara")
    except Exception:
        return "unknown"


# ------------------------------------------------------------------ detect

def expand_paths(patterns, recursive):
    """The inputs named by the command line, in order, as (path, problem)
    pairs: problem is None for a file to read, or why an argument names no
    file. Directories give their image files, sorted; arguments that do not
    exist but hold glob characters are expanded."""
    inputs = []
    for pattern in patterns:
        if os.path.isdir(pattern):
            found = _images_in(pattern, recursive)
            if not found:
                inputs.append((pattern, "no image files in this directory"))
        elif os.path.exists(pattern) or not glob.has_magic(pattern):
            found = [pattern]  # a missing file is reported when it is read
        else:
            found = [m for m in sorted(glob.glob(pattern, recursive=recursive))
                     if os.path.isfile(m)]
            if not found:
                inputs.append((pattern, "no file matches"))
        inputs += [(path, None) for path in found]
    return inputs


def _images_in(folder, recursive):
    found = []
    for root, dirs, names in os.walk(folder):
        dirs.sort()
        found += [os.path.join(root, n) for n in sorted(names)
                  if n.lower().endswith(IMAGE_SUFFIXES)]
        if not recursive:
            break
    return found


def overlay_targets(template, files):
    """Overlay file of each input file, and the format it is written in."""
    if template is None:
        return [None] * len(files), None
    if template.endswith(("/", os.sep)) or os.path.isdir(template):
        template = os.path.join(template, "{stem}.svg")
    if len(files) > 1 and "{stem}" not in template:
        raise UsageError("with several input files --overlay must be a directory or hold {stem}")
    kind = os.path.splitext(template)[1].lower().lstrip(".")
    if kind not in ("svg", "png"):
        raise UsageError("--overlay must end in .svg or .png")
    targets = [template.replace("{stem}", os.path.splitext(os.path.basename(f))[0])
               for f in files]
    seen = {}
    for source, target in zip(files, targets):
        if target in seen:
            raise UsageError(f"{seen[target]} and {source} would both draw into {target}")
        seen[target] = source
    return targets, kind


def run_detect(args):
    inputs = expand_paths(args.paths, args.recursive)
    files = [path for path, problem in inputs if problem is None]
    targets, overlay_kind = overlay_targets(args.overlay, files)
    check_free([t for t in targets if t] + ([args.output] if args.output else []), args.force)
    options = DetectOptions(scale=args.scale, bit_depth=args.bit_depth, overlay=overlay_kind,
                            color_by=args.color_by)
    progress = sys.stderr.isatty()
    reporter = Reporter(progress)
    if args.dask:
        results = run_dask(files, options, args.dask, progress)
    else:
        results = run_local(files, options, args.jobs, progress)
    fmt = format_for(args.output, args.format)

    def write_all(stream):
        writer = TableWriter(stream, fmt)
        pending = zip(results, targets)
        for path, problem in inputs:
            if problem is not None:
                reporter.fail(path, problem)
            else:
                _write_result(*next(pending), writer, reporter, args.force)
        writer.close()

    if args.output:
        with atomic_output(args.output, args.force, mode="w") as stream:
            write_all(stream)
    else:
        write_all(sys.stdout)
    if reporter.failures:
        reporter.write(f"linara: {reporter.failures} of {len(inputs)} inputs failed")
        return 1
    return 0


def _write_result(result, target, writer, reporter, force):
    if result.error is not None:
        reporter.fail(result.path, result.error)
        return
    if target is not None:
        try:
            write_bytes(target, result.overlay, force)
        except (OSError, OutputExists) as error:
            reporter.fail(target, getattr(error, "strerror", None) or str(error))
            return
    writer.add(result.path, result.table)


# -------------------------------------------------------------------- warp

def save_image(path, image, force):
    """Write an image file, whole or not at all, in the format its name ends with."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".png":
        write_bytes(path, encode_png(image), force)
        return
    if suffix in (".tif", ".tiff"):
        try:
            import tifffile
        except ImportError:
            raise MissingDependency("writing TIFF needs tifffile: pip install 'linara[cli]'")
        buffer = io.BytesIO()
        tifffile.imwrite(buffer, image, photometric="minisblack" if image.ndim == 2 else "rgb")
        write_bytes(path, buffer.getvalue(), force)
        return
    if image.dtype != "uint8":
        raise UsageError("16-bit images can be written as .png or .tif only")
    try:
        from PIL import Image
    except ImportError:
        raise MissingDependency("writing this format needs Pillow: pip install 'linara[cli]'")
    buffer = io.BytesIO()
    try:
        Image.fromarray(image).save(buffer, format=Image.registered_extensions().get(suffix))
    except (KeyError, ValueError, OSError) as error:
        raise UsageError(f"cannot write {path}: {error}") from None
    write_bytes(path, buffer.getvalue(), force)


def run_warp(args):
    if args.corners is not None and (args.scale is not None or args.offset is not None):
        raise UsageError("--scale and --offset go with --inverse, not with --corners")
    check_free([args.output], args.force)
    try:
        image = read_image(args.image)
    except (OSError, ImageError) as error:
        Reporter(False).fail(args.image, getattr(error, "strerror", None) or str(error))
        return 1
    if image.dtype.kind == "f":
        raise UsageError(f"{args.image}: warping needs 8-bit or 16-bit samples, not float")
    if args.corners is not None:
        try:
            size, inverse = rectify_corners(args.corners, args.size)
        except ValueError as error:
            raise UsageError(str(error)) from None
        result = warp_image(image, inverse.ravel(), size=size)
    else:
        offset = args.offset or (0.0, 0.0)
        scale = 1.0 if args.scale is None else args.scale
        result = warp_image(image, args.inverse, scale, offset, args.size)
    save_image(args.output, result, args.force)
    print(f"wrote {args.output} ({result.shape[1]}x{result.shape[0]})")
    return 0


# -------------------------------------------------------------------- demo

def run_demo(args):
    kind = os.path.splitext(args.output)[1].lower().lstrip(".")
    if kind not in ("svg", "png"):
        raise UsageError("the demo output must end in .svg or .png")
    check_free([args.output], args.force)
    photo = importlib.resources.files("linara_cli") / "data" / DEMO_PHOTO
    with importlib.resources.as_file(photo) as path:
        result = detect_file(str(path), DetectOptions(overlay=kind, color_by=args.color_by))
    if result.error is not None:
        Reporter(False).fail(DEMO_PHOTO, result.error)
        return 1
    write_bytes(args.output, result.overlay, args.force)
    height, width = result.shape
    print(f"Found {len(result.table)} line segments in the demo photograph "
          f"({DEMO_PHOTO}, {width}x{height}).")
    print(f"Wrote {os.path.abspath(args.output)}: open it in a web browser to see them.")
    return 0


# -------------------------------------------------------------------- main

def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (UsageError, OutputExists, MissingDependency) as error:
        print(f"linara: error: {error}", file=sys.stderr)
        return 2
    except ClusterUnavailable as error:
        print(f"linara: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("linara: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (| head): stop quietly, and keep the
        # interpreter from failing again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
