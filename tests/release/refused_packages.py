"""Crafted variants of a good release package, each of which
scripts/check_package must refuse from the zip's listing alone, without
extracting anything and without asking a question.

    python3 tests/release/refused_packages.py <good zip> <check_package>

Prints "ok: ..." or "FAIL: ..." for each variant; exit status 1 if any
variant passes, is extracted, or takes longer than a listing should.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
import zipfile


def entry(name, mode):
    info = zipfile.ZipInfo(name)
    info.create_system = 3  # Unix: the mode below is what zipinfo shows
    info.external_attr = mode << 16
    return info


def variants(good):
    """(what, the FAIL line check_package must print, extra entries placed
    before or after the good ones, good entries left out)."""
    with zipfile.ZipFile(good) as z:
        base = z.namelist()[0].split("/")[0]
    file, folder, link = 0o100644, 0o40755, 0o120777
    guide, dll = f"{base}/docs/modules.html", f"{base}/modules/edge_detect.dll"
    return [
        ("a bogus copy of a DLL before the real one", "names given more than once",
         [(entry(f"{base}/modules/pitch_adjust.dll", file), b"MZ bogus")], [], set()),
        ("a small zip that expands to 256 MiB", "files over 8 MiB",
         [], [(entry(guide, file), None)], {guide}),
        ("an extra empty folder", "entries that do not belong",
         [], [(entry(f"{base}/extra/", folder), b"")], set()),
        ("an entry that climbs out of the folder", "entries that do not belong",
         [], [(entry(f"{base}/../../evil.dll", file), b"MZ")], set()),
        ("a link in place of a DLL", "entries that are neither files nor folders",
         [], [(entry(dll, link), b"/etc/passwd")], {dll}),
    ]


def craft(good, path, before, after, left_out):
    with zipfile.ZipFile(good) as src, \
            zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as out:
        def put(info, data):
            info.compress_type = zipfile.ZIP_DEFLATED
            if data is not None:
                out.writestr(info, data)
                return
            # 256 MiB of zeros, streamed: the zip stays about 1 MiB.
            chunk = bytes(1 << 24)
            with out.open(info, "w") as f:
                for _ in range(16):
                    f.write(chunk)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a name given twice is the point
            for info, data in before:
                put(info, data)
            for info in src.infolist():
                if info.filename not in left_out:
                    out.writestr(info, src.read(info))
            for info, data in after:
                put(info, data)


def main(good, check_package):
    failed = 0
    for what, expect, before, after, left_out in variants(good):
        work = tempfile.mkdtemp()
        try:
            bad = os.path.join(work, os.path.basename(good))
            craft(good, bad, before, after, left_out)
            tmp = os.path.join(work, "tmp")
            os.mkdir(tmp)
            start = time.monotonic()
            run = subprocess.run([check_package, bad], stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=120,
                                 env=dict(os.environ, TMPDIR=tmp))
            seconds = time.monotonic() - start
            said = run.stdout + run.stderr
            if run.returncode == 1 and f"FAIL: {expect}" in said and \
                    "nothing was extracted" in said and seconds < 20:
                print(f"ok: check_package refuses {what} before extracting it ({seconds:.1f} s)")
            else:
                failed += 1
                print(f"FAIL: check_package on {what}: exit {run.returncode} after "
                      f"{seconds:.1f} s:\n  " + said.strip().replace("\n", "\n  "))
        finally:
            shutil.rmtree(work)
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
