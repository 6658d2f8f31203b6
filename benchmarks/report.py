"""Markdown table, plot and raw JSON of one benchmark run."""

import json
import subprocess
import time

import methods
import targets

BATCH_COLUMNS = [(m, mode) for m in methods.BATCH for mode in ("par", "seq")]
LOOP_COLUMNS = [(m, None) for m in methods.LOOPS]
SHORT = {
    "solve_f64": "solve f64", "solve_f32": "solve f32",
    "robust_f64": "robust f64", "robust_f32": "robust f32",
    "scipy_f64": "SciPy f64", "scipy_f32": "SciPy f32",
    "whittaker_eilers": "w-eilers", "pybaselines": "pybaselines", "vam": "vam",
}
MODE_MARK = {"par": " ∥", "seq": " seq", "cold": " ∥ cold", "1thr cold": " 1 thr cold", None: ""}


def case_label(r):
    return f"S={r['S']:<6d} T={r['T']:<4d} d={r['d']} {r['missing']:.0%} missing"


def rate_text(rate):
    for scale, suffix in ((1e6, "M"), (1e3, "k")):
        if rate >= scale:
            return f"{rate / scale:.3g}{suffix}"
    return f"{rate:.3g}"


def cell(r):
    if r is None:
        return ""
    if "skipped" in r:
        return "n/a"
    if "error" in r:
        return "error"
    return rate_text(r["rate"]) + ("†" if r.get("subset") else "")


def mem_text(r):
    """Peak memory in (S,T) matrices, where the matrix is large enough (10⁶
    values) for resident memory, counted in pages, to resolve it."""
    if r and "mem_units" in r and r["n"] * r["T"] >= 1_000_000:
        return f"{r['mem_units']:.2f}"
    return ""


def git_commit(path):
    try:
        return subprocess.run(["git", "-C", str(path), "describe", "--always", "--dirty"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def _cases(records):
    seen = []
    for r in records:
        case = (r["S"], r["T"], r["d"], r["missing"])
        if case not in seen:
            seen.append(case)
    return sorted(seen, key=lambda c: (c[1], c[2], c[3], c[0]))


def _environment_lines(meta):
    env = meta["environment"]
    blas = env.get("blas") or []
    kernels = ", ".join(sorted({f"{b['internal_api']} {b['version']} {b['architecture']}"
                                for b in blas})) or "unknown (no threadpoolctl)"
    peers = ", ".join(f"{p} {env.get(p) or 'not installed'}"
                      for p in ("whittaker-eilers", "pybaselines", "vam.whittaker"))
    return [
        f"- tarnwold {env.get('tarnwold')} as installed; source tree at `{meta['commit']}` "
        "when the run started; "
        f"Python {env['python']}, NumPy {env['numpy']}, SciPy {env['scipy']}",
        f"- CPU: {env['cpu']}, 2 cores; instruction set: {', '.join(env['isa'])}",
        f"- BLAS seen by the measuring processes: {kernels}, pinned to 1 thread "
        "(OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE unset there)",
        f"- peers: {peers}",
        f"- other processes kept {meta['others_mean']:.2f} of the 2 cores busy on average "
        f"during the measurements (load average before / after: "
        f"{meta['load_before'][0]:.2f} / {meta['load_after'][0]:.2f}); "
        f"run took {meta['seconds'] / 60:.1f} min"
        + (" (--quick)" if meta["quick"] else ""),
    ]


def markdown(records, checks, meta, png_name):
    res = targets.Results(records)
    by = {(r["S"], r["T"], r["d"], r["missing"], r["method"], r["mode"]): r for r in records}
    lines = [f"# tarnwold benchmark ({time.strftime('%Y-%m-%d')})", ""]
    lines += _environment_lines(meta)
    lines += ["", "Series per second, best of repeated calls timed to about "
              f"{meta['budget']} s each; every measurement in a fresh process. "
              "∥ = `parallel=True` on both cores, seq = `parallel=False`, "
              "1 thr = `parallel=True` with RAYON_NUM_THREADS=1. "
              "Robust: 3 iterations, Tukey, MAD. lam = 10, grid normalised to unit mean spacing. "
              f"† = timed on a subset of the series (batch calls on at most "
              f"{meta['max_batch_values']:.0e} values, loops on a subset that runs about "
              f"half the timing budget, at most {meta['max_loop_series']} series and "
              f"{meta['max_loop_values']:.0e} values); "
              "n/a = not supported or not installed. A target's ratio is the median of 7 rounds "
              "timing its two sides alternately in one process (best of 3 calls each), "
              "with the range of the rounds.", "", "## Targets", ""]
    lines += [f"- **{v}** {title}: {figure}" for title, figure, v in checks]

    lines += ["", "## S = 10⁴, T = 365, d = 2", ""]
    rows = []
    for method, mode in BATCH_COLUMNS + [(m, mode) for m in methods.BATCH for mode in ("cold", "1thr cold")] + LOOP_COLUMNS:
        row = [methods.LABELS[method] + MODE_MARK[mode]]
        for missing in (0.05, 0.40):
            r = by.get((10_000, 365, 2, missing, method, mode))
            loop = res.get(10_000, 365, 2, missing, "scipy_" + ("f32" if method.endswith("f32")
                                                                else "f64"))
            ratio = f"{r['rate'] / loop['rate']:.1f}×" if r and "rate" in r and loop else ""
            row += [cell(r), ratio, mem_text(r)]
        if any(row[1:]):
            rows.append(row)
    lines += _table(["method", "5 %: series/s", "× SciPy", "peak (S,T)",
                     "40 %: series/s", "× SciPy", "peak (S,T)"], rows)
    lines += ["", "× SciPy compares with the SciPy loop of the same precision. Peak memory "
              "above the inputs and the returned output, in (S,T) matrices of the working "
              "precision (resident memory of the process)."]

    lines += ["", "## Series per second, every case", ""]
    header = ["S", "T", "d", "missing"] + [SHORT[m] + MODE_MARK[mode]
                                           for m, mode in BATCH_COLUMNS + LOOP_COLUMNS]
    rows = [[S, T, d, f"{miss:.0%}"] + [cell(by.get((S, T, d, miss, m, mode)))
                                        for m, mode in BATCH_COLUMNS + LOOP_COLUMNS]
            for S, T, d, miss in _cases(records)]
    lines += _table(header, rows)

    lines += ["", "## Ratio to the SciPy loop of the same precision (∥)", ""]
    rows = []
    for S, T, d, miss in _cases(records):
        row = [S, T, d, f"{miss:.0%}"]
        for m in methods.BATCH:
            r, loop = res.get(S, T, d, miss, m, "par"), res.get(S, T, d, miss, "scipy_" + m[-3:])
            row.append(f"{r['rate'] / loop['rate']:.1f}" if r and loop else "")
        rows.append(row)
    lines += _table(["S", "T", "d", "missing"] + [SHORT[m] for m in methods.BATCH], rows)

    lines += ["", "## Peak memory in (S,T) matrices, cases with S·T ≥ 10⁶", ""]
    rows = []
    for S, T, d, miss in _cases(records):
        cells = [mem_text(by.get((S, T, d, miss, m, mode))) for m, mode in BATCH_COLUMNS]
        if any(cells):
            n = max(r["n"] for r in records if (r["S"], r["T"], r["d"], r["missing"])
                    == (S, T, d, miss) and "n" in r and r["method"] in methods.BATCH)
            rows.append([S if n == S else f"{S} (on {n})", T, d, f"{miss:.0%}"] + cells)
    lines += _table(["S", "T", "d", "missing"] + [SHORT[m] + MODE_MARK[mode]
                                                  for m, mode in BATCH_COLUMNS], rows)

    lines += ["", "## Agreement of the loops with tarnwold float64", ""]
    rows = []
    for m in methods.LOOPS:
        diffs = [r["max_abs_diff"] for r in records if r["method"] == m and "max_abs_diff" in r]
        skips = sorted({r.get("skipped") or r.get("error") for r in records
                        if r["method"] == m and ("skipped" in r or "error" in r)})
        rows.append([methods.LABELS[m], f"{max(diffs):.1e}" if diffs else "",
                     "; ".join(skips)])
    lines += _table(["method", "max abs difference (first 8 series)", "not run"], rows)
    lines += ["", f"![series per second]({png_name})", ""]
    return "\n".join(lines)


def plot(records, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    res = targets.Results(records)
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), dpi=72)
    columns = [(m, "par") for m in methods.BATCH] + LOOP_COLUMNS
    panels = [("S", "T = 365, d = 2, 5 % missing",
               lambda m, mode, v: res.get(v, 365, 2, 0.05, m, mode)),
              ("T", "S = 10⁴, d = 2, 5 % missing",
               lambda m, mode, v: res.get(10_000, v, 2, 0.05, m, mode))]
    for ax, (axis, title, get) in zip(axes, panels):
        values = sorted({r[axis] for r in records})
        for m, mode in columns:
            points = [(v, get(m, mode, v)) for v in values]
            points = [(v, r["rate"]) for v, r in points if r]
            if points:
                style = "-o" if m in methods.BATCH else "--s"
                ax.plot(*zip(*points), style, ms=4, label=SHORT[m] + MODE_MARK[mode])
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(axis)
        ax.set_ylabel("series per second")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
    axes[1].legend(fontsize=7, loc="best")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def raw_json(meta, records):
    """Every number of the run, one record per line so that runs diff well."""
    lines = ",\n".join(json.dumps(r, separators=(",", ":")) for r in records)
    return f'{{"meta": {json.dumps(meta)},\n"records": [\n{lines}\n]}}\n'


def write_all(out, name, records, checks, meta):
    out.mkdir(parents=True, exist_ok=True)
    prefix = f"{name}-" if name else ""
    md_path = out / f"{prefix}results.md"
    png_path = out / f"{prefix}throughput.png"
    json_path = out / f"{prefix}raw.json"
    json_path.write_text(raw_json(meta, records))
    plot(records, png_path)
    md_path.write_text(markdown(records, checks, meta, png_path.name))
    return [md_path, png_path, json_path]
