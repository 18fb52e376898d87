#!/usr/bin/env python3
"""Checks the user guide of an unpacked release package as its reader gets
it, read with html5lib (the HTML5 parsing algorithm browsers use):

    check_guide.py <package folder> <guide, relative to it>

  - the page parses without an error and has a title;
  - it needs nothing outside the package: no script (no script element,
    no event attribute, no javascript: link), nothing loaded (no frame,
    object, embed, external style sheet, base or refresh), and every link,
    source and CSS url() is a fragment of the page itself, a data: URL or
    a file of the package;
  - every module of the package (modules/*.dll) has its section, with the
    module's name in the section's data-modules, and at least one figure
    (data-module) inside it, with a caption and drawn plots; no section or
    figure names a module the package does not hold.

Prints "ok: ..." or "FAIL: ..." per check, the figures listed against the
DLLs; exit status 1 if any check fails, 2 on bad arguments or when html5lib
is missing.
"""
import glob
import os
import posixpath
import re
import sys
from urllib.parse import unquote, urlsplit

URL_ATTRIBUTES = {"href", "src", "srcset", "action", "formaction", "poster", "data",
                  "background", "cite", "longdesc", "manifest", "ping", "xlink:href"}
LOADING_ELEMENTS = {"script", "iframe", "frame", "frameset", "object", "embed", "applet",
                    "link", "base", "portal"}
DRAWN = re.compile(r"[VHLCvhlc]")


def local(name):
    """Tag or attribute name without its namespace."""
    if name.startswith("{"):
        ns, _, rest = name[1:].partition("}")
        return ("xlink:" if ns.endswith("/xlink") else "") + rest
    return name


def drawing(e):
    """A line drawn in a plot: a path that goes somewhere, a note bar, a mark."""
    tag, cls = local(str(e.tag)), (e.get("class") or "").split()
    return (tag == "path" and bool(DRAWN.search(e.get("d") or ""))) or \
        (tag == "rect" and "note" in cls) or (tag == "line" and "mark" in cls)


def text_of(element):
    return re.sub(r"\s+", " ", "".join(element.itertext())).strip()


class Guide:
    def __init__(self, folder, guide):
        self.folder, self.guide = os.path.realpath(folder), guide
        self.failures, self.oks = [], []

    def bad(self, what):
        self.failures.append(f"FAIL: {self.guide}: {what}")

    def url_ok(self, url, ids, where):
        """A link may name a fragment of the page, a data: URL or a file of
        the package."""
        url = url.strip()
        if url.startswith("#"):
            if unquote(url[1:]) not in ids:
                self.bad(f"{where}: the link {url} leads nowhere on the page")
            return
        parts = urlsplit(url)
        if parts.scheme.lower() == "data":
            if re.match(r"data:\s*text/html", url, re.I):
                self.bad(f"{where}: a data: URL holding a page")
            return
        if parts.scheme or parts.netloc or url.startswith(("/", "\\")):
            self.bad(f"{where}: refers outside the package: {url[:80]}")
            return
        target = os.path.realpath(os.path.join(self.folder, os.path.dirname(self.guide),
                                               unquote(parts.path)))
        if not target.startswith(self.folder + os.sep) or not os.path.isfile(target):
            self.bad(f"{where}: refers to a file outside the package: {url[:80]}")

    def css_ok(self, css, ids, where):
        if re.search(r"@import", css, re.I):
            self.bad(f"{where}: a style sheet that imports another")
        for url in re.findall(r"url\(\s*['\"]?([^'\")]*)", css, re.I):
            self.url_ok(url, ids, where)

    def check(self, modules):
        import html5lib  # Debian's python3-html5lib
        path = os.path.join(self.folder, self.guide)
        with open(path, "rb") as f:
            data = f.read()
        parser = html5lib.HTMLParser(tree=html5lib.getTreeBuilder("etree"),
                                     namespaceHTMLElements=False, strict=True)
        try:
            root = parser.parse(data)
        except html5lib.html5parser.ParseError as e:
            self.bad(f"does not parse as HTML: {e}")
            return
        elements = list(root.iter())
        # The head's title (an SVG's titles are tooltips), shown on the
        # browser's tab and in its bookmarks.
        head = next((e for e in elements if local(str(e.tag)) == "head"), None)
        title = next((text_of(e) for e in (head if head is not None else [])
                      if local(str(e.tag)) == "title"), "")
        if not title:
            self.bad("no title: the browser's tab would show the file name")
        ids = {e.get("id") for e in elements if e.get("id")}
        loaded, scripted = set(), set()
        for e in elements:
            tag = local(e.tag) if isinstance(e.tag, str) else ""
            if tag in LOADING_ELEMENTS:
                loaded.add(tag)
            if tag == "meta" and (e.get("http-equiv") or "").lower() == "refresh":
                loaded.add("meta refresh")
            if tag == "style":
                self.css_ok(e.text or "", ids, "<style>")
            for name, value in e.attrib.items():
                attr = local(name).lower()
                if attr.startswith("on"):
                    scripted.add(attr)
                elif attr == "style":
                    self.css_ok(value, ids, f"<{tag} style>")
                elif attr in URL_ATTRIBUTES:
                    if value.strip().lower().startswith("javascript:"):
                        scripted.add("javascript: link")
                    for url in (value.split(",") if attr == "srcset" else [value]):
                        self.url_ok(url.split()[0] if attr == "srcset" and url.split() else url,
                                    ids, f"<{tag} {attr}>")
        if loaded:
            self.bad(f"loads or runs what the package may not hold: {', '.join(sorted(loaded))}")
        if scripted:
            self.bad(f"holds script: {', '.join(sorted(scripted))}")
        if not loaded and not scripted and not self.failures:
            self.oks.append(f"ok: {self.guide}: self-contained (no script, every link inside "
                            "the page or the package)")
        self.check_modules(elements, modules)

    def check_modules(self, elements, modules):
        sections = [e for e in elements if local(str(e.tag)) == "section" and e.get("data-modules")]
        figures = [e for e in elements if local(str(e.tag)) == "figure" and e.get("data-module")]
        named = {m for s in sections for m in s.get("data-modules").split()}
        named |= {f.get("data-module") for f in figures}
        for stray in sorted(named - set(modules)):
            self.bad(f"a section or figure of {stray}, which the package does not hold")
        for module in modules:
            own = [s for s in sections if module in s.get("data-modules").split()]
            if len(own) != 1:
                self.bad(f"{module}.dll: {len(own)} sections, expected one")
                continue
            heading = next((text_of(h) for h in own[0].iter() if local(str(h.tag)) == "h2"), "")
            inside = {id(e) for e in own[0].iter()}
            listed = []
            for f in figures:
                if f.get("data-module") != module:
                    continue
                caption = next((text_of(c) for c in f.iter() if local(str(c.tag)) == "figcaption"), "")
                plots = [s for s in f.iter() if local(str(s.tag)) == "svg"
                         and "plot" in (s.get("class") or "").split()]
                drawn = any(drawing(e) for s in plots for e in s.iter())
                if id(f) not in inside:
                    self.bad(f"{module}.dll: figure '{caption[:40]}' stands outside its section")
                elif not caption:
                    self.bad(f"{module}.dll: a figure without a caption")
                elif not drawn:
                    self.bad(f"{module}.dll: figure '{caption[:40]}' draws no plot")
                else:
                    listed.append(f"{caption[:70]}{'...' if len(caption) > 70 else ''} "
                                  f"({len(plots)} plots)")
            if not listed:
                self.bad(f"{module}.dll: no figure in its section '{heading}'")
                continue
            self.oks.append(f"ok: {self.guide}: {module}.dll: section '{heading}', "
                            f"{len(listed)} figure(s): " + "; ".join(listed))


def main():
    if len(sys.argv) != 3 or not os.path.isdir(sys.argv[1]):
        print("usage: check_guide.py <package folder> <guide, relative to it>", file=sys.stderr)
        return 2
    try:
        import html5lib  # noqa: F401
    except ImportError:
        print("check_guide: html5lib is missing (Debian: python3-html5lib)", file=sys.stderr)
        return 2
    folder, guide = sys.argv[1], sys.argv[2]
    modules = sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(folder, "modules", "*.dll")))
    g = Guide(folder, guide)
    if not os.path.isfile(os.path.join(folder, guide)):
        g.bad("missing")
    else:
        g.check(modules)
    for line in g.oks + g.failures:
        print(line)
    return 1 if g.failures else 0


if __name__ == "__main__":
    sys.exit(main())
