"""Turns the JSON of se_bench into one markdown table (see scripts/bench).

Benchmark names are " | "-joined fields: group, row, input, kind, block.
Times are per run; a run is 262,144 samples (module and reference groups)
or a number of stretches given by the "stretches" counter (host group).
A module row's cell is its ratio to the copy loop; where the module made
host requests in the run (counters per kind of request), the ratio with
the host's cost of those requests taken off follows in parentheses: what
the contract makes a module send is measured per request (the "host |
request | <kind>" benchmarks), as the host's cost.
"""
import json
import sys

RUN_SAMPLES = 1 << 18
REQUESTS = ("set_pin_status", "send_midi", "get_sample_clock", "sleep")


ABNORMAL = ("subnormal", "not-a-number", "infinite")


def abnormal_ratio(best, case, normal_kind):
    """The worst cost of an abnormal input kind of a case relative to the
    normal kind `normal_kind` on the same input and block size, or 0."""
    worst = 0.0
    for k, m in best.items():
        if k[0] == "module" and k[1] == case and k[3] in ABNORMAL:
            normal = best.get(("module", case, k[2], normal_kind, k[4]))
            if normal:
                worst = max(worst, m / normal)
    return worst


def summary(best, kinds, per_request, blocks):
    """Per case: the worst ratio to the copy loop over inputs and kinds
    (host requests taken off), and the worst cost of an abnormal input kind
    relative to the slow sine with the same sign pattern and to the constant
    tape (held between the same sign changes, as the abnormal tapes are)."""
    out = ["| case | " + " | ".join(f"worst, block {b}" for b in blocks) +
           " | abnormal / sine slow, worst | abnormal / constant, worst |",
           "|---|" + "---|" * (len(blocks) + 2)]
    cases = []
    for k in best:
        if k[0] == "module" and k[1] not in cases:
            cases.append(k[1])
    for case in cases:
        ref = "fill" if case.endswith(" fill") else "copy"
        cells = []
        for b in blocks:
            r = best.get(("reference", ref, "-", "-", b))
            worst = 0.0
            unjudged = False
            for k, m in best.items():
                if k[0] == "module" and k[1] == case and k[4] == b and r:
                    made = kinds.get(k) or {}
                    own = m - sum(n * per_request.get(q, 0.0) for q, n in made.items())
                    unjudged = unjudged or own <= 0.0
                    worst = max(worst, own / r)
            cells.append(f"{worst:.2f}" + ("*" if unjudged else ""))
        for normal_kind in ("sine slow", "constant"):
            ratio = abnormal_ratio(best, case, normal_kind)
            cells.append(f"{ratio:.2f}" if ratio else "-")
        out.append(f"| {case} | " + " | ".join(cells) + " |")
    out += ["", "*: on some input the price of the requests made came to the whole time or "
            "more, so the module's own share there cannot be told apart."]
    return out


FLOOR = "send floor 2 a sample"


def against_floor(best, kinds, blocks):
    """For each case that sends one MIDI message a sample or more on some
    input: its worst time per message over those inputs, against the time
    per message of the send floor (a plug-in that sends two messages a
    sample with no decision) at the same block size.  Both sides carry the
    host's cost of the messages, so no request price is taken off: the
    figure holds where that price cannot be told apart (under wine)."""
    out = []
    cases = []
    for k in best:
        if k[0] == "module" and k[1] != FLOOR and k[1] not in cases and \
                (kinds.get(k) or {}).get("send_midi", 0) >= RUN_SAMPLES:
            cases.append(k[1])
    if not cases:
        return out
    out += ["", "Time per MIDI message against the send floor's (a plug-in that sends two "
            "messages a sample with no decision), worst over the inputs that send one or "
            "more a sample; the host's cost of the messages is in both.", "",
            "| case | " + " | ".join(f"block {b}" for b in blocks) + " |",
            "|---|" + "---|" * len(blocks)]
    for case in cases:
        cells = []
        for b in blocks:
            floor = best.get(("module", FLOOR, "In", "noise", b))
            floor_n = (kinds.get(("module", FLOOR, "In", "noise", b)) or {}).get("send_midi", 0)
            worst = 0.0
            for k, m in best.items():
                n = (kinds.get(k) or {}).get("send_midi", 0)
                if k[0] == "module" and k[1] == case and k[4] == b and n >= RUN_SAMPLES and \
                        floor and floor_n:
                    worst = max(worst, (m / n) / (floor / floor_n))
            cells.append(f"{worst:.2f}" if worst else "-")
        out.append(f"| {case} | " + " | ".join(cells) + " |")
    return out


def events_waiting(best, counters):
    """The host's time per event with more or fewer events queued behind
    it, and its ratio to the row with the fewest: flat when taking an event
    off the queue does not depend on how many wait."""
    rows = sorted({k[1] for k in best if k[0] == "host" and k[1].startswith("event, ")},
                  key=lambda s: int(s.split()[1]))
    if not rows:
        return []
    out = ["", "| host, block 1024 | ns per event | against the fewest waiting |",
           "|---|---|---|"]
    fewest = None
    for row in rows:
        key = ("host", row, "run", "-", 1024)
        if key not in best:
            continue
        per = best[key] / (counters.get(key) or 1)
        fewest = fewest or per
        out.append(f"| {row} | {per:.1f} | {per / fewest:.2f} |")
    return out


def main(path, preset, only_summary=False):
    with open(path) as f:
        data = json.load(f)
    best = {}  # (group, row, input, kind, block) -> ns per run (min)
    counters = {}
    kinds = {}
    # Rows in the order the suite registers its benchmarks (its runs come
    # interleaved in random order).
    for b in sorted(data["benchmarks"], key=lambda b: b.get("family_index", 0)):
        if b.get("aggregate_name") not in (None, "min") or b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"]).split("/iterations:")[0]
        fields = [x.strip() for x in name.split(" | ")]
        if len(fields) != 5:
            continue
        group, row, inp, kind, block = fields
        # CPU time (a preempted run loses real time, not CPU time).  Under
        # wine the thread CPU time is 0 for a short run and whole 10 ms ticks
        # for a longer one, so real time is all there is.
        use_real = preset == "win32" or b["cpu_time"] <= 0
        t = b["real_time"] if use_real else b["cpu_time"]
        ns = t * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        if group == "reference":
            key = (group, row, "-", "-", int(block))  # placements: keep the best
        else:
            key = (group, row, inp, kind, int(block))
        if key not in best or ns < best[key]:
            best[key] = ns
            counters[key] = b.get("stretches")
            kinds[key] = {k: b.get(k, 0) for k in REQUESTS}

    blocks = sorted({k[4] for k in best if k[0] != "host"})
    out = []
    ctx = data.get("context", {})
    out.append(f"Benchmark, preset {preset}: ratio of ns per sample to the best copy loop "
               f"of the same block size (fills: to the fill loop); minimum of "
               f"{ctx.get('se_repetitions', 'several')} runs of {RUN_SAMPLES} samples.")
    out.append("")
    out.append("| case | input | kind | " + " | ".join(f"block {b}" for b in blocks) + " |")
    out.append("|---|---|---|" + "---|" * len(blocks))
    for loop in ("copy", "fill"):
        cells = [f"{best[('reference', loop, '-', '-', b)] / RUN_SAMPLES:.3f} ns"
                 if ("reference", loop, "-", "-", b) in best else "" for b in blocks]
        out.append(f"| {loop} loop (ns per sample) | - | - | " + " | ".join(cells) + " |")
    per_request = {}
    for r in REQUESTS:
        t = best.get(("host", "request", r, "-", 1024))
        if t:
            per_request[r] = t / (counters.get(("host", "request", r, "-", 1024)) or 1)
    if only_summary:
        out = out[:1] + ["", "Summary: each case's worst ratio over its inputs and input kinds "
                             "(host requests taken off), and its worst abnormal input kind "
                             "against the slow sine of the same sign pattern and against the "
                             "constant tape held between the same sign changes.", ""]
        out += summary(best, kinds, per_request, blocks)
        out += against_floor(best, kinds, blocks)
    rows = []
    for k in best:
        if k[0] == "module" and (k[1], k[2], k[3]) not in rows and not only_summary:
            rows.append((k[1], k[2], k[3]))
    for row, inp, kind in rows:
        ref = "fill" if row.endswith(" fill") else "copy"
        cells = []
        for b in blocks:
            m = best.get(("module", row, inp, kind, b))
            r = best.get(("reference", ref, "-", "-", b))
            made = kinds.get(("module", row, inp, kind, b)) or {}
            host_ns = sum(n * per_request.get(k, 0.0) for k, n in made.items())
            cell = f"{m / r:.2f}" if m and r else ""
            if cell and host_ns > 0:
                # Requests priced at the whole time or more: the module's own
                # share cannot be told apart.
                cell += f" ({(m - host_ns) / r:.2f})" if m > host_ns else " (-)"
            cells.append(cell)
        out.append(f"| {row} | {inp} | {kind} | " + " | ".join(cells) + " |")

    host = sorted({(k[1]) for k in best if k[0] == "host" and k[1].startswith("stretch")},
                  key=lambda s: int(s.split()[-1]))
    if per_request:
        out.append("")
        out.append("Host's cost per request, ns: " +
                   ", ".join(f"{k} {v:.1f}" for k, v in per_request.items()) + ".")
    if host:
        out.append("")
        out.append("| host, block 1024 | through DspInstance::run, ns per stretch | direct process call | host's own share |")
        out.append("|---|---|---|---|")
        for row in host:
            run = best.get(("host", row, "run", "-", 1024))
            direct = best.get(("host", row, "direct", "-", 1024))
            n = counters.get(("host", row, "run", "-", 1024)) or 1
            if run and direct:
                out.append(f"| {row} | {run / n:.1f} | {direct / n:.1f} | {(run - direct) / n:.1f} |")
    out += events_waiting(best, counters)
    print("\n".join(out))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--summary"]
    main(args[0], args[1] if len(args) > 1 else "", "--summary" in sys.argv)
