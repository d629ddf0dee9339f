"""The results of a run as files: JSON, a Markdown table and a bar chart."""

import json
import textwrap


def markdown(result):
    lines = [
        (
            f"Command: `{result['command']}` at commit {result.get('commit', 'unknown')}, {result['date']} "
            f"({result['machine']['cpus']} cores shared with other jobs, load average {result['machine']['load']})."
        ),
        "",
        "| Row | Comparison (A vs B) | A | B | Unit | A/B (or A-B ns), median [quartiles] | Goal | Met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for r in result["rows"]:
        value = (
            f"{r['median']:.3f} [{r['p25']:.3f}..{r['p75']:.3f}]"
            if r["how"] == "ratio"
            else f"{r['median']:+.0f} ns [{r['p25']:+.0f}..{r['p75']:+.0f}]"
        )
        if r["note"]:
            value += f" ({r['note']})"
        met = "" if r.get("met") is None else ("yes" if r["met"] else "**no**")
        lines.append(
            f"| {r['group'].split()[0]} | {r['name']}: {r['a']} vs {r['b']} | {r['a_median']:.2f} | "
            f"{r['b_median']:.2f} | {r['unit']} | {value} | {r['goal'] or ''} | {met} |"
        )
    limits = result["redis_benchmark"]
    lines += [
        "",
        "redis-benchmark -c 1 -P 1 (same run): " + ", ".join(f"{k} {v:,.0f}/s" for k, v in limits.items() if v),
        *result["summaries"],
    ]
    return "\n".join(lines) + "\n"


def chart(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = [r for r in result["rows"] if r["how"] == "ratio"]
    diffs = [r for r in result["rows"] if r["how"] != "ratio"]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(16, max(9, 0.3 * len(ratios))), gridspec_kw={"width_ratios": [3, 2]})
    names = [textwrap.fill(f"{r['group'].split()[0]} {r['name']}", 34) for r in ratios]
    colors = ["tab:gray" if r.get("met") is None else ("tab:green" if r["met"] else "tab:red") for r in ratios]
    values = [r["median"] for r in ratios]
    errs = [[r["median"] - r["p25"] for r in ratios], [r["p75"] - r["median"] for r in ratios]]
    ax1.barh(names, values, xerr=errs, color=colors)
    ax1.set_xscale("log")
    ax1.axvline(1.0, color="black", lw=0.8)
    ax1.invert_yaxis()
    ax1.set_xlabel("ratio A/B (median, quartiles); green met goal, red missed, grey no goal")
    ax1.tick_params(axis="y", labelsize=7)
    dnames = [textwrap.fill(r["name"], 34) for r in diffs]
    ax2.barh(dnames, [r["median"] for r in diffs], color=["tab:blue" if "C++" in n else "tab:orange" for n in dnames])
    ax2.axvline(100, color="red", lw=0.8, ls="--")
    ax2.invert_yaxis()
    ax2.set_xlabel("ns added per call over inline client calls (goal <= 100 for C++)")
    ax2.tick_params(axis="y", labelsize=7)
    fig.suptitle(f"Stashel benchmark, {result['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def save(result, out):
    """Writes latest.json, latest.md and latest.png into `out`; returns what
    was saved, as text."""
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.json").write_text(json.dumps(result, indent=2) + "\n")
    (out / "latest.md").write_text(markdown(result))
    try:
        chart(result, out / "latest.png")
        saved = "latest.md, latest.png"
    except ImportError:
        saved = "latest.md (no chart: matplotlib is missing; make bench installs it)"
    return f"{out / 'latest.json'}, {saved}"
