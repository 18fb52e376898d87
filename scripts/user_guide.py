#!/usr/bin/env python3
"""Makes the user guide of the release package, one self-contained HTML page,
from docs/modules.md, the one text of the guide:

    python3 scripts/user_guide.py --sehost build/native/bin/sehost \\
        --version 1.0.0 [--commit abc1234] docs/modules.md OUT.html

What the Markdown holds for whom:
  - text between the lines "<!-- developers -->" and "<!-- /developers -->"
    is for the repository's readers only and is left out of the page;
  - text inside "<!-- users" ... "-->" is for the page only (a comment, so
    unseen where the Markdown is read); @VERSION@ and @COMMIT@ in it become
    the package's version and commit;
  - a paragraph that begins "Figure:" followed by an `sh` block of one
    sehost command is a figure: the command is run with the given sehost
    and the page shows the plots of its report, with the paragraph as the
    caption; every other `sh` block is a command for developers and is left
    out of the page;
  - a section whose heading begins with plug-in names ("## edge_detect: ...",
    "## panel_switch8, panel_switch4: ...") is that module's section: the
    page names the module as the host lists it, and every pin of the
    plug-in must be named in the section (a way's number stands for all).

Markdown becomes HTML through cmark-gfm (GitHub's own renderer, with its
table extension), so the page reads as the repository's file does. Exit
status 1 with one line on any failure, 2 on bad arguments.
"""
import argparse
import html
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

SEHOST_IN_DOCS = "build/native/bin/sehost"
MODULE_HEADING = re.compile(r"^## ([a-z0-9_]+(?:, [a-z0-9_]+)*): ")


class GuideError(Exception):
    pass


def select_readers(lines, version, commit):
    """The page's lines: developer text out, user text in."""
    out, skipping, users, fence = [], False, False, None
    for n, line in enumerate(lines, 1):
        stripped = line.strip()
        if fence is None and stripped.startswith("```"):
            fence = n
        elif fence is not None and stripped.startswith("```"):
            fence = None
        elif fence is None and stripped == "<!-- developers -->":
            skipping = True
            continue
        elif fence is None and stripped == "<!-- /developers -->":
            if not skipping:
                raise GuideError(f"line {n}: <!-- /developers --> with no opening line")
            skipping = False
            continue
        elif fence is None and stripped == "<!-- users":
            users = True
            continue
        elif fence is None and users and stripped == "-->":
            users = False
            continue
        if skipping:
            continue
        if users:
            line = line.replace("@VERSION@", version).replace("@COMMIT@", commit)
        out.append((n, line))
    if skipping or users:
        raise GuideError("a developers or users block is not closed")
    return out


def split_figures(numbered):
    """Replaces each figure (caption paragraph + its command) by a marker
    paragraph and drops the other sh blocks. Returns the text and the
    figures as (line, caption, command)."""
    out, figures, i = [], [], 0
    while i < len(numbered):
        n, line = numbered[i]
        if line.startswith("Figure:"):
            caption = [line[len("Figure:"):].strip()]
            i += 1
            while i < len(numbered) and numbered[i][1].strip() and not numbered[i][1].startswith("```"):
                caption.append(numbered[i][1].strip())
                i += 1
            while i < len(numbered) and not numbered[i][1].strip():
                i += 1
            if i == len(numbered) or numbered[i][1].strip() != "```sh":
                raise GuideError(f"line {n}: a figure's caption must be followed by an sh block")
            i += 1
            command = []
            while i < len(numbered) and not numbered[i][1].startswith("```"):
                command.append(numbered[i][1].rstrip())
                i += 1
            i += 1
            joined = " ".join(c[:-1] if c.endswith("\\") else c for c in command).strip()
            if not joined or any(c and not c.endswith("\\") for c in command[:-1]):
                raise GuideError(f"line {n}: a figure's sh block holds one command")
            figures.append((n, " ".join(caption), joined))
            out += ["", f"GUIDE-FIGURE-{len(figures) - 1}", ""]
            continue
        if line.strip() in ("```sh", "```sh fails"):
            i += 1
            while i < len(numbered) and not numbered[i][1].startswith("```"):
                i += 1
            i += 1
            continue
        out.append(line)
        i += 1
    return out, figures


def keep_units(page_html):
    """A number and its unit stay on one line ("10 V", "250 ms")."""
    unit = re.compile(r"([0-9]) (V|mV|ms|s|Hz|kHz)\b")
    return re.sub(r">([^<]+)<", lambda m: ">" + unit.sub(r"\1&#160;\2", m.group(1)) + "<",
                  page_html)


def markdown(text):
    try:
        done = subprocess.run(["cmark-gfm", "--smart", "-e", "table", "-e", "strikethrough"],
                              input=text, capture_output=True, text=True, check=True)
    except FileNotFoundError:
        raise GuideError("cmark-gfm is not installed (scripts/bootstrap release installs it)")
    return done.stdout


def one(pattern, text, what):
    found = re.findall(pattern, text, re.S)
    if len(found) != 1:
        raise GuideError(f"the report has {len(found)} {what}, expected one")
    return found[0]


def render_figure(sehost, line, command, work, number):
    """Runs a figure's command; answers (module, the report's figure parts)."""
    args = shlex.split(command)
    if args[:2] != [SEHOST_IN_DOCS, "render"] or len(args) < 3:
        raise GuideError(f"line {line}: a figure is made by '{SEHOST_IN_DOCS} render PLUGIN ...'")
    module = args[2]
    out = os.path.join(work, f"figure{number}")
    kept, skip = [], False
    for a in args[1:]:
        if skip:
            skip = False
        elif a in ("-o", "--out"):
            skip = True
        else:
            kept.append(a)
    done = subprocess.run([sehost] + kept + ["-o", out], capture_output=True, text=True,
                          timeout=300, cwd=work)
    if done.returncode != 0:
        raise GuideError(f"line {line}: {command}: {done.stderr.strip() or done.returncode}")
    with open(os.path.join(out, "report.html"), encoding="utf-8") as f:
        report = f.read()
    try:
        return module, report_parts(report)
    except GuideError as e:
        raise GuideError(f"line {line}: {e}")


def report_parts(report):
    """What a figure shows of a report of one instance."""
    section = one(r'<section class="instance"[^>]*>(.*?)</section>', report, "instances")
    run = one(r"</h1><p>[^<:]*: ([^<]*)</p>", report, "run descriptions")
    # A module with no inputs has no table of settings.
    table = re.findall(r'<table class="settings">(.*?)</table>', section, re.S)
    settings = re.findall(r"<tr><td>([^<]*)</td><td>([^<]*)</td><td>set</td></tr>",
                          "".join(table))
    plots = re.findall(r'<svg class="(?:plot|time)".*?</svg>', section, re.S)
    legend = re.findall(r'<p class="legend">.*?</p>', section, re.S)
    style = one(r"<style>(.*?)</style>", report, "style sheets")
    return {"run": run, "settings": settings, "plots": plots, "legend": legend,
                    "style": style}


def scoped(style, scope):
    """The report's style rules, applied inside `scope` only."""
    rules = []
    for rule in style.split("}"):
        if "{" not in rule:
            continue
        selectors, body = rule.split("{", 1)
        picked = [s.strip() for s in selectors.split(",")
                  if s.strip() and s.strip() not in ("body", "h1", "h2")]
        if picked:
            rules.append(",".join(f"{scope} {s}" for s in picked) + "{" + body + "}")
    return "".join(rules)


def figure_html(module, number, caption_html, parts):
    settings = "".join(f"<tr><td>{name}</td><td>{value}</td></tr>"
                       for name, value in parts["settings"])
    # The host version matters to one module only, which says so itself.
    run = html.escape(re.sub(r", host version [0-9]+\.$", "", html.unescape(parts["run"])))
    table = (f'<table class="set"><tr><th>set in the example</th><th>value</th></tr>{settings}'
             "</table>" if settings else "")
    return (f'<figure class="render" id="figure-{number}" data-module="{module}">'
            f'<figcaption><b>Figure {number}.</b> {caption_html} '
            f'<span class="run">({run}.)</span></figcaption>{table}'
            f'<div class="plots">{"".join(parts["plots"])}{"".join(parts["legend"])}</div>'
            "</figure>")


def pin_names(sehost, plugins):
    done = subprocess.run([sehost, "info", "--json"] + plugins, capture_output=True, text=True)
    if done.returncode != 0:
        raise GuideError(f"sehost info {' '.join(plugins)}: {done.stderr.strip()}")
    return {os.path.basename(p["file"]).split(".")[0]: p for p in json.loads(done.stdout)["plugins"]}


def undocumented_pins(plugin, section_html):
    """Pins the first column of the section's pin tables does not name. A
    cell may name several ("Start, End", "Controls on Parent 1 ... 8");
    digits count alike, so "Controls on Parent 1" names every way's pin."""
    digits = re.compile(r"[0-9]+")
    named = set()
    for table in re.findall(r'<table class="pins">(.*?)</table>', section_html, re.S):
        for cell in re.findall(r"<tr>\s*<td>(.*?)</td>", table, re.S):
            text = html.unescape(re.sub(r"<[^>]+>", "", cell))
            named |= {digits.sub("#", n.strip()) for n in re.split(r", | \.\.\. |…", text)}
    return sorted({p["name"] for p in plugin["pins"] if digits.sub("#", p["name"]) not in named})


PAGE_STYLE = """
body{font-family:"DejaVu Sans",Verdana,sans-serif;color:#222;margin:0;line-height:1.45;
  background:#fdfdfd}
main{max-width:1000px;margin:0 auto;padding:8px 20px 40px}
h1{font-size:26px;margin:18px 0 4px}
h2{font-size:21px;border-bottom:2px solid #1f5fa8;padding-bottom:3px;margin:40px 0 10px}
h3{font-size:16px;margin:20px 0 6px}
p.made{color:#555;margin-top:0}
p.listed{color:#444;margin-top:-4px}
code{font-family:"DejaVu Sans Mono",monospace;font-size:90%;background:#eef1f5;
  padding:0 3px;border-radius:3px}
pre{background:#eef1f5;padding:8px;overflow-x:auto}
table{border-collapse:collapse;margin:8px 0}
th,td{border:1px solid #ccd;padding:3px 8px;text-align:left;vertical-align:top;font-size:14px}
th{background:#eef1f5}
table.pins td:nth-child(2){white-space:nowrap}
nav ol{padding-left:22px}
nav li{margin:2px 0}
figure.render{margin:18px 0;padding:8px 10px;border:1px solid #ccd;background:#fff}
figure.render figcaption{font-size:14px;margin-bottom:4px}
figure.render .run{color:#555}
figure.render table.set td,figure.render table.set th{font-size:12px;padding:1px 6px}
figure.render svg{max-width:100%;height:auto}
figure.render .plots{overflow-x:auto}
figure.render .plots svg{min-width:800px}
@media print{figure.render{break-inside:avoid}}
"""


def make_page(source, sehost, version, commit):
    with open(source, encoding="utf-8") as f:
        lines = f.read().split("\n")
    text, figures = split_figures(select_readers(lines, version, commit))
    if not text or not text[0].startswith("# "):
        raise GuideError("the guide begins with its title line ('# ...')")
    title = text[0][2:].strip()
    # Parts: the preamble, then one per "## " heading.
    parts, current = [], []
    for line in text[1:]:
        if line.startswith("## "):
            parts.append(current)
            current = []
        current.append(line)
    parts.append(current)

    modules_of = [MODULE_HEADING.match(p[0]).group(1).split(", ")
                  if p and MODULE_HEADING.match(p[0]) else [] for p in parts]
    plugins = pin_names(sehost, sorted({m for ms in modules_of for m in ms}))

    with tempfile.TemporaryDirectory() as work:
        rendered = [render_figure(sehost, line, command, work, k + 1)
                    for k, (line, _, command) in enumerate(figures)]
    style = scoped(rendered[0][1]["style"], "figure.render") if rendered else ""

    body, nav = [], []
    for part, modules in zip(parts, modules_of):
        chunk = keep_units(markdown("\n".join(part)))
        # Pin tables: their "kind" column kept on one line.
        chunk = re.sub(r"<table>(\s*<thead>\s*<tr>\s*<th>pin</th>)", r'<table class="pins">\1',
                       chunk)
        for k, (line, caption, _) in enumerate(figures):
            marker = f"<p>GUIDE-FIGURE-{k}</p>"
            if marker not in chunk:
                continue
            module, report = rendered[k]
            if module not in modules:
                raise GuideError(f"line {line}: a figure of {module} in the section of "
                                 f"{', '.join(modules) or 'no module'}")
            caption_html = keep_units(markdown(caption)).strip()
            caption_html = re.sub(r"^<p>(.*)</p>$", r"\1", caption_html, flags=re.S)
            chunk = chunk.replace(marker, figure_html(module, k + 1, caption_html, report))
        if not part or not part[0].startswith("## "):
            body.append(chunk)
            continue
        heading = part[0][3:].strip()
        anchor = modules[0] if modules else re.sub(r"[^a-z0-9]+", "-", heading.lower()).strip("-")
        if modules:
            for m in modules:
                missing = undocumented_pins(plugins[m], chunk)
                if missing:
                    raise GuideError(f"the section '{heading}' does not name the pins "
                                     f"{', '.join(missing)} of {m}")
            listed = ", ".join(f"<b>{html.escape(plugins[m]['name'])}</b>" +
                               (f" ({m})" if len(modules) > 1 else "") for m in modules)
            chunk = chunk.replace("</h2>", '</h2><p class="listed">In the host&#8217;s list of '
                                  f"modules: {listed}</p>", 1)
        body.append(f'<section id="{anchor}"' +
                    (f' class="module" data-modules="{" ".join(modules)}"' if modules else "") +
                    f">{chunk}</section>")
        name, _, topic = heading.partition(": ")
        nav.append(f'<li><a href="#{anchor}">{html.escape(name)}</a>' +
                   (f": {html.escape(topic)}" if topic else "") + "</li>")
    if any(f"GUIDE-FIGURE-" in b for b in body):
        raise GuideError("a figure stands outside the sections")
    made = f"Version {html.escape(version)}" + (f", commit {html.escape(commit)}" if commit else "")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{html.escape(title)}</title><style>{PAGE_STYLE}{style}</style></head>"
            f"<body><main><h1>{html.escape(title)}</h1><p class=\"made\">{made}</p>"
            f"{body[0]}<nav><h2>Contents</h2><ol>{''.join(nav)}</ol></nav>{''.join(body[1:])}"
            "</main></body></html>\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sehost", required=True, help="the native sehost that renders the figures")
    parser.add_argument("--version", required=True)
    parser.add_argument("--commit", default="")
    parser.add_argument("source")
    parser.add_argument("output")
    a = parser.parse_args()
    try:
        page = make_page(a.source, os.path.abspath(a.sehost), a.version, a.commit)
    except (GuideError, OSError, subprocess.SubprocessError, ValueError) as e:
        print(f"user_guide: {a.source}: {e}", file=sys.stderr)
        return 1
    part = a.output + ".part"
    with open(part, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(part, a.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
