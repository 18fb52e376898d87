"""The release's user guide made from docs/modules.md with this build's
sehost, as scripts/release makes it, and checked as scripts/check_package
checks it in the package: the page passes, and each fault below, written
into a copy, fails with its own line.

    guide_test.py <sehost> <source folder> <plug-in folder>
"""
import glob
import os
import re
import subprocess
import sys
import tempfile


def make(source, guide_md, out, sehost):
    return subprocess.run([sys.executable, os.path.join(source, "scripts", "user_guide.py"),
                           "--sehost", sehost, "--version", "9.9.9", "--commit", "test",
                           guide_md, out], capture_output=True, text=True)


def check(source, package):
    return subprocess.run([sys.executable, os.path.join(source, "scripts", "check_guide.py"),
                           package, "docs/modules.html"], capture_output=True, text=True)


def drop_figure(page, module):
    return re.sub(rf'<figure class="render"[^>]*data-module="{module}">.*?</figure>', "", page,
                  flags=re.S)


# what | the page changed | the FAIL line check_guide must print
FAULTS = [
    ("a module's figures left out", lambda p: drop_figure(p, "edge_detect"),
     r"FAIL: .*edge_detect\.dll: no figure in its section"),
    ("a module's section unmarked", lambda p: p.replace('data-modules="pitch_adjust"', ""),
     r"FAIL: .*pitch_adjust\.dll: 0 sections, expected one"),
    ("a link to a guide of the repository", lambda p: p.replace("</main>", '<a href="../sehost.md">x</a></main>'),
     r"FAIL: .*refers to a file outside the package: \.\./sehost\.md"),
    ("an image from the network", lambda p: p.replace("</main>", '<img src="https://example.org/a.png"></main>'),
     r"FAIL: .*refers outside the package: https://"),
    ("a style sheet from the network", lambda p: p.replace("<style>", "<style>@import url(//cdn.example/s.css);"),
     r"FAIL: .*imports another"),
    ("a script", lambda p: p.replace("</main>", "<script>1</script></main>"),
     r"FAIL: .*loads or runs .*script"),
    ("an event handler", lambda p: p.replace("<main>", '<main onclick="x()">'),
     r"FAIL: .*holds script: onclick"),
    ("a link to no anchor", lambda p: p.replace('href="#edge_detect"', 'href="#edge-detect"'),
     r"FAIL: .*the link #edge-detect leads nowhere"),
    ("the page's title lost", lambda p: re.sub(r"<title>[^<]*</title>", "<title></title>", p, count=1),
     r"FAIL: .*no title"),
    ("a stray end tag", lambda p: p.replace("</main>", "</div></main>"),
     r"FAIL: .*does not parse as HTML"),
]


def main(sehost, source, plugins):
    failed = 0

    def verdict(ok, what):
        nonlocal failed
        failed += not ok
        print(("ok: " if ok else "FAIL: ") + what)

    with tempfile.TemporaryDirectory() as work:
        package = os.path.join(work, "se-modules")
        os.makedirs(os.path.join(package, "docs"))
        os.makedirs(os.path.join(package, "modules"))
        names = sorted(os.path.basename(p).split(".")[0] for p in glob.glob(os.path.join(plugins, "*.so")))
        for name in names:
            open(os.path.join(package, "modules", name + ".dll"), "w").close()
        page_path = os.path.join(package, "docs", "modules.html")
        made = make(source, os.path.join(source, "docs", "modules.md"), page_path, sehost)
        if made.returncode != 0:
            print("FAIL: user_guide.py: " + made.stderr.strip())
            return 1
        with open(page_path, encoding="utf-8") as f:
            page = f.read()
        good = check(source, package)
        verdict(good.returncode == 0 and all(f"{n}.dll: section" in good.stdout for n in names),
                f"the guide of {len(names)} modules passes\n" + good.stdout + good.stderr)

        for what, change, expect in FAULTS:
            with open(page_path, "w", encoding="utf-8") as f:
                f.write(change(page))
            r = check(source, package)
            verdict(r.returncode == 1 and re.search(expect, r.stdout) is not None,
                    f"{what}: {expect}" + ("" if r.returncode == 1 else "\n" + r.stdout + r.stderr))
        with open(page_path, "w", encoding="utf-8") as f:
            f.write(page)

        # A module the package does not hold, still in the guide.
        os.remove(os.path.join(package, "modules", "panel_switch4.dll"))
        r = check(source, package)
        verdict(r.returncode == 1 and "of panel_switch4, which the package does not hold" in r.stdout,
                "a figure of a module the package does not hold")

        # The source guide without a pin of edge_detect cannot make a page.
        with open(os.path.join(source, "docs", "modules.md"), encoding="utf-8") as f:
            text = f.read()
        lacking = os.path.join(work, "modules.md")
        with open(lacking, "w", encoding="utf-8") as f:
            f.write(re.sub(r"^\| Pulse Level \|.*\n", "", text, flags=re.M))
        r = make(source, lacking, os.path.join(work, "lacking.html"), sehost)
        verdict(r.returncode == 1 and "does not name the pins Pulse Level of edge_detect" in r.stderr,
                "a pin missing from its section stops the page: " + r.stderr.strip())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
