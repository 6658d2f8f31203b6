"""The examples run end to end: the README's example command, and the gallery
scripts on a small number of series. The pictures need matplotlib; without it
the README's command is run without --plot and the gallery scripts are skipped.
"""

import importlib.util
import pathlib
import re
import shlex
import struct
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def run(argv):
    result = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


def readme_example_command():
    """The README's command that runs the vegetation-index example, as argv."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    for block in re.findall(r"```sh\n(.*?)```", readme, flags=re.S):
        for line in block.splitlines():
            if "examples/smooth_vegetation_index.py" in line:
                return shlex.split(line.split("&&")[-1])
    pytest.fail("README.md shows no command running examples/smooth_vegetation_index.py")


def test_readme_example_command_runs(tmp_path):
    argv = readme_example_command()
    assert argv[:2] == ["python3", "examples/smooth_vegetation_index.py"]
    assert "--plot" in argv, "the README's example command should write a plot"
    argv[0] = sys.executable
    plot_at = argv.index("--plot")
    if HAVE_MATPLOTLIB:
        argv[plot_at + 1] = str(tmp_path / "vegetation_index.png")
    else:
        del argv[plot_at:plot_at + 2]

    out = run(argv + ["--pixels", "300"])

    assert out.startswith("300 pixels x ")
    rmse = {label.strip(): value for label, value in re.findall(r"^(.+?)RMSE (\d\.\d+)", out, flags=re.M)}
    assert set(rmse) == {"raw observations", "whittaker_solve_f64", "robust, float64", "robust, float32"}
    # The robust fit sees through the thin-cloud outliers that pull the plain fit down.
    assert float(rmse["robust, float64"]) < float(rmse["whittaker_solve_f64"]) < float(rmse["raw observations"])
    if HAVE_MATPLOTLIB:
        assert png_size(tmp_path / "vegetation_index.png") == (900, 500)


@pytest.mark.parametrize(
    "script, size_option",
    [("gappy_weekly_series.py", "--wells"), ("noisy_spectrum.py", "--spectra"), ("choose_lam_per_pixel.py", "--size"),
     ("cloudy_ndvi_envelope.py", "--pixels"), ("raman_baseline.py", "--spectra"), ("robust_lam.py", "--rows"),
     ("well_levels.py", "--wells")],
)
def test_gallery_script_runs_and_plots(script, size_option, tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "picture.png"
    out = run([sys.executable, f"examples/{script}", size_option, "40", "--plot", str(picture)])
    assert "RMSE" in out and f"wrote {picture}" in out
    assert png_size(picture) == (900, 500)
