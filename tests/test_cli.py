"""The `linara` command end to end, run in subprocesses as a user runs it."""

import csv
import io
import json
import math
import os
import select
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import linara

Image = pytest.importorskip("PIL.Image")
tifffile = pytest.importorskip("tifffile")
from linara_cli import segments_to_array  # noqa: E402

CLI = [sys.executable, "-m", "linara_cli"]


def run(*args, cwd, check=0, **kwargs):
    result = subprocess.run(CLI + [str(a) for a in args], cwd=cwd, capture_output=True,
                            text=True, timeout=300, **kwargs)
    assert result.returncode == check, result.stderr
    return result


def hexes(table):
    return [[float.hex(v) for v in row] for row in np.asarray(table).tolist()]


@pytest.fixture(scope="module")
def photos(tmp_path_factory, scene):
    """Image files and the arrays detect must see for each."""
    folder = tmp_path_factory.mktemp("photos")
    gray = scene(120, 160, seed=1)
    deep = (scene(120, 160, seed=2).astype(np.uint16) * 257)
    unit = scene(120, 160, seed=3).astype(np.float32) / np.float32(255)
    twelve = (scene(120, 160, seed=4).astype(np.uint16) * 16)
    Image.fromarray(gray).save(folder / "gray.png")
    Image.fromarray(deep).save(folder / "deep.png")
    tifffile.imwrite(folder / "unit.tif", unit)
    tifffile.imwrite(folder / "twelve.tif", twelve)
    return folder, {
        "gray.png": gray,
        "deep.png": deep,
        "unit.tif": unit.astype(np.float64) * 255.0,
        "twelve.tif": twelve.astype(np.float64) * (255.0 / 4095.0),
    }


def parse(text, fmt):
    if fmt == "csv":
        rows = list(csv.DictReader(io.StringIO(text)))
        return [(r["file"], [float(r[c]) for c in r if c != "file"]) for r in rows]
    records = json.loads(text) if fmt == "json" else [json.loads(line)
                                                      for line in text.splitlines()]
    return [(r["file"], [math.nan if r[c] is None else r[c] for c in r if c != "file"])
            for r in records]


@pytest.mark.parametrize("fmt", ["csv", "json", "jsonl"])
def test_tables_read_back_as_exactly_what_detect_returns(photos, fmt):
    folder, arrays = photos
    names = ["gray.png", "deep.png", "unit.tif"]
    out = run("detect", *names, "--format", fmt, cwd=folder)
    assert out.stderr == ""  # no progress bar when stderr is not a terminal
    rows = parse(out.stdout, fmt)
    assert [f for f, _ in rows] == sorted((f for f, _ in rows), key=names.index)
    for name in names:
        expected = segments_to_array(linara.detect(arrays[name]))
        assert len(expected) > 0
        got = [values for f, values in rows if f == name]
        assert hexes(got) == hexes(expected), name


def test_bit_depth_rescales_and_rejects_samples_beyond_it(photos):
    folder, arrays = photos
    rows = parse(run("detect", "twelve.tif", "--bit-depth", "12", cwd=folder).stdout, "csv")
    assert hexes([v for _, v in rows]) == hexes(segments_to_array(
        linara.detect(arrays["twelve.tif"])))
    failed = run("detect", "deep.png", "--bit-depth", "12", cwd=folder, check=1)
    assert "deep.png" in failed.stderr and "4095" in failed.stderr


@pytest.mark.parametrize("suffix", [".svg", ".png"])
@pytest.mark.parametrize("color_by", ["angle", "log_nfa"])
def test_overlays_are_valid_pictures_of_the_image_size(photos, tmp_path, suffix, color_by):
    folder, arrays = photos
    target = tmp_path / f"over{suffix}"
    run("detect", "gray.png", "--overlay", target, "--color-by", color_by, cwd=folder)
    if suffix == ".svg":
        root = ET.parse(target).getroot()
        assert (root.get("width"), root.get("height")) == ("160", "120")
        lines = root.findall(".//{http://www.w3.org/2000/svg}line")
        assert len(lines) == len(linara.detect(arrays["gray.png"]))
    else:
        with Image.open(target) as picture:
            assert picture.format == "PNG" and picture.size == (160, 120)
            assert picture.mode == "RGB"


def test_overlay_directory_for_several_files(photos, tmp_path):
    folder, _ = photos
    run("detect", "gray.png", "deep.png", "--overlay", f"{tmp_path}/{{stem}}.png", cwd=folder)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["deep.png", "gray.png"]
    usage = run("detect", "gray.png", "deep.png", "--overlay", tmp_path / "one.svg",
                cwd=folder, check=2)
    assert "{stem}" in usage.stderr


def test_unreadable_files_are_reported_and_the_rest_goes_on(photos, tmp_path):
    folder, arrays = photos
    (tmp_path / "empty.png").write_bytes(b"")
    (tmp_path / "corrupt.png").write_bytes((folder / "gray.png").read_bytes()[:300])
    (tmp_path / "text.jpg").write_text("not a picture")
    inputs = [folder / "gray.png", tmp_path / "missing.png", tmp_path / "empty.png",
              tmp_path / "corrupt.png", tmp_path / "text.jpg", tmp_path / "none*.tif",
              folder / "deep.png"]
    out = tmp_path / "segments.csv"
    result = run("detect", *inputs, "-o", out, cwd=tmp_path, check=1)
    for bad in inputs[1:-1]:
        assert f"linara: {bad}: " in result.stderr
    assert "No such file" in result.stderr and "empty file" in result.stderr
    assert "5 of 7 inputs failed" in result.stderr
    rows = parse(out.read_text(), "csv")
    assert {f for f, _ in rows} == {str(inputs[0]), str(inputs[-1])}
    assert len(rows) == sum(len(linara.detect(arrays[n])) for n in ("gray.png", "deep.png"))


def test_outputs_are_not_replaced_without_force(photos, tmp_path):
    folder, _ = photos
    out = tmp_path / "segments.json"
    out.write_text("keep me")
    refused = run("detect", "gray.png", "-o", out, cwd=folder, check=2)
    assert "--force" in refused.stderr and out.read_text() == "keep me"
    run("detect", "gray.png", "-o", out, "--force", cwd=folder)
    assert json.loads(out.read_text())[0]["file"] == "gray.png"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["segments.json"]  # no leftovers


def test_jobs_give_the_same_output_in_input_order(photos, tmp_path):
    folder, _ = photos
    args = ["detect", "unit.tif", "gray.png", "missing.png", "deep.png", "gray.png"]
    one = run(*args, "--jobs", "1", cwd=folder, check=1)
    two = run(*args, "--jobs", "2", cwd=folder, check=1)
    assert two.stdout == one.stdout and two.stderr == one.stderr
    assert [f for f, _ in parse(one.stdout, "csv")][0] == "unit.tif"


def test_dask_cluster_gives_the_local_result(photos):
    distributed = pytest.importorskip("distributed")
    folder, _ = photos
    local = run("detect", "gray.png", "missing.png", "deep.png", cwd=folder, check=1)
    # Dashboard on a free port: None means the fixed default port, which
    # another cluster on the machine may hold.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        remote = run("detect", "gray.png", "missing.png", "deep.png", "--dask",
                     cluster.scheduler_address, cwd=folder, check=1)
    assert remote.stdout == local.stdout and remote.stderr == local.stderr


def test_progress_bar_only_on_a_terminal(photos):
    import fcntl
    import pty
    import struct
    import termios
    folder, _ = photos
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        subprocess.run(CLI + ["detect", "gray.png", "deep.png"], cwd=folder, stderr=terminal,
                       stdout=subprocess.DEVNULL, check=True, timeout=120)
        shown = b""
        while select.select([controller], [], [], 0.1)[0]:
            shown += os.read(controller, 65536)
        shown = shown.decode(errors="replace")
    finally:
        os.close(controller)
        os.close(terminal)
    assert "2/2" in shown


def quadrilateral_scene(dtype):
    """A page (201 x 101 once rectified) seen in perspective, with a red mark
    centred at (50, 30) of the rectified page."""
    from linara_cli import homography_from_corners
    corners = np.array([(60.0, 40.0), (300.0, 70.0), (280.0, 230.0), (40.0, 180.0)])
    page = homography_from_corners(corners, [(0, 0), (200, 0), (200, 100), (0, 100)])
    ys, xs = np.mgrid[0:260, 0:340]
    u, v, w = page @ np.stack([xs.ravel(), ys.ravel(), np.ones(xs.size)])
    u, v = u / w, v / w
    peak = np.iinfo(dtype).max
    image = np.zeros((260 * 340, 3), dtype)
    image[(u >= -0.5) & (u <= 200.5) & (v >= -0.5) & (v <= 100.5)] = peak * 3 // 4
    image[(abs(u - 50) <= 3) & (abs(v - 30) <= 3)] = (peak, 0, 0)
    return image.reshape(260, 340, 3), corners


@pytest.mark.parametrize("dtype, suffix", [(np.uint8, ".png"), (np.uint16, ".tif")])
def test_corners_rectify_a_known_quadrilateral(tmp_path, dtype, suffix):
    image, corners = quadrilateral_scene(dtype)
    source, target = tmp_path / f"photo{suffix}", tmp_path / f"page{suffix}"
    tifffile.imwrite(source, image) if suffix == ".tif" else Image.fromarray(image).save(source)
    run("warp", source, "-o", target, "--corners", ",".join(map(str, corners.ravel())),
        "--size", "201x101", cwd=tmp_path)
    page = tifffile.imread(target) if suffix == ".tif" else np.asarray(Image.open(target))
    assert page.shape == (101, 201, 3) and page.dtype == dtype
    peak = np.iinfo(dtype).max
    red = (page[..., 0] > peak // 2) & (page[..., 1] < peak // 4)
    ys, xs = np.nonzero(red)
    assert abs(xs.mean() - 50) < 1 and abs(ys.mean() - 30) < 1
    assert (page[..., 1] > 0).mean() > 0.99  # the page fills the whole output


def test_warp_inverse_with_size_pads_or_crops(photos, tmp_path):
    folder, arrays = photos
    shift = "1,0,10,0,1,5,0,0,1"
    run("warp", "gray.png", "-o", tmp_path / "big.png", "--inverse", shift, "--size", "200x150",
        cwd=folder)
    big = np.asarray(Image.open(tmp_path / "big.png"))
    gray = arrays["gray.png"]
    assert big.shape == (150, 200)
    np.testing.assert_array_equal(big[:115, :150], gray[5:, 10:])
    assert not big[115:].any() and not big[:, 150:].any()


def test_demo_writes_its_picture_and_keeps_it(tmp_path):
    script = Path(sys.executable).with_name("linara")
    command = [str(script)] if script.exists() else CLI
    first = subprocess.run(command + ["demo"], cwd=tmp_path, capture_output=True, text=True)
    assert first.returncode == 0, first.stderr
    picture = tmp_path / "linara-demo.svg"
    assert str(picture) in first.stdout
    count = int(first.stdout.split("Found ")[1].split()[0])
    root = ET.parse(picture).getroot()
    assert count > 50 and len(root.findall(".//{http://www.w3.org/2000/svg}line")) == count
    again = subprocess.run(command + ["demo"], cwd=tmp_path, capture_output=True, text=True)
    assert again.returncode == 2 and "--force" in again.stderr
