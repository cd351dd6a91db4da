#!/usr/bin/env python3
"""The HTML report in a real browser.

Each report (the samples in tests/report/ and, when given, gainscan-batch's scan of the fixtures) is made into a
page that headless Chromium opens from disk; the checks go through the DOM the browser built and work out what
they expect from the jsonl itself, never from the page. Chromium is driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ending in NUL on file descriptors 3 and 4), which needs only the standard
library and no network port. Exit status 77 (ctest: skipped) when no Chromium is installed.
"""
import argparse, fcntl, json, os, select, shutil, subprocess, sys, tempfile, time, unittest, urllib.parse

ARGS = BROWSER = None


class Browser:
    """One headless Chromium; DevTools commands over a pair of pipes."""

    def __init__(self, binary, profile):
        def high(fd):  # keep our ends clear of 3 and 4, which the child needs
            moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
            os.close(fd)
            return moved
        (child_r, self.out), (self.inp, child_w) = map(high, os.pipe()), map(high, os.pipe())
        self.process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
             "--disable-background-networking", "--disable-sync", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, close_fds=False,
            preexec_fn=lambda: (os.dup2(child_r, 3), os.dup2(child_w, 4)))  # dup2 clears close-on-exec
        os.close(child_r)
        os.close(child_w)
        self.buffer, self.next_id, self.events = b"", 0, []

    def _receive(self, deadline):
        while b"\0" not in self.buffer:
            if not select.select([self.inp], [], [], max(0, deadline - time.monotonic()))[0]:
                raise RuntimeError("no answer from Chromium in time")
            chunk = os.read(self.inp, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed the DevTools pipe")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        return self.wait(lambda m: m.get("id") == self.next_id, timeout, method)

    def wait(self, wanted, timeout=30, what=""):
        for i, event in enumerate(self.events):
            if wanted(event):
                return self.events.pop(i)
        deadline = time.monotonic() + timeout
        while not wanted(answer := self._receive(deadline)):
            self.events.append(answer)
        if "error" in answer:
            raise RuntimeError(f"{what}: {answer['error']}")
        return answer.get("result", answer)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
            self.process.wait(timeout=20)
        except (RuntimeError, OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        os.close(self.out)
        os.close(self.inp)


class Page:
    """A tab showing one file; `js` evaluates an expression in it."""

    def __init__(self, path):
        self.url = "file://" + urllib.parse.quote(os.path.abspath(path))
        self.target = BROWSER.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = BROWSER.call("Target.attachToTarget", {"targetId": self.target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            BROWSER.call(domain + ".enable", session=self.session)
        BROWSER.call("Page.navigate", {"url": self.url}, session=self.session)
        BROWSER.wait(lambda e: e.get("method") == "Page.loadEventFired" and e.get("sessionId") == self.session)

    def js(self, expression):
        result = BROWSER.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                              session=self.session)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def events(self, method):
        return [e["params"] for e in BROWSER.events if e.get("sessionId") == self.session and e.get("method") == method]

    def shown(self):
        return self.js("Array.from(document.querySelectorAll('#files-table tbody tr'))"
                       ".filter(r => !r.hidden && getComputedStyle(r).display !== 'none')"
                       ".map(r => Number(r.getAttribute('data-index')))")

    def options(self, select_id):
        return self.js(f"Array.from(document.getElementById('{select_id}').options).slice(1).map(o => o.value)")

    def choose(self, select_id, value):
        """Selects the option of `value` (None: the first option, "all") as a reader would."""
        v = json.dumps(value)
        assert self.js(f"(() => {{ const s = document.getElementById('{select_id}');"
                       f" const i = {v} === null ? 0 : Array.from(s.options).findIndex((o, i) => i > 0 && o.value === {v});"
                       f" if (i >= 0) {{ s.selectedIndex = i; s.dispatchEvent(new Event('change')); }} return i; }})()") >= 0

    def count_text(self):
        return self.js("document.getElementById('shown').textContent")


def is_record(raw):
    try:
        value = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return False
    return isinstance(value, dict) and isinstance(value.get("file"), str)


def number(value, limit=sys.float_info.max):
    ok = not isinstance(value, bool) and isinstance(value, (int, float)) and abs(value) <= limit
    return value if ok else None


def expected_order(records):
    """Flagged first, then p_value ascending, then score descending, absent values last, then scan order."""
    def key(i):
        p, s = number(records[i].get("p_value")), number(records[i].get("score"))
        return records[i].get("flagged") is not True, p is None, p or 0, s is None, -(s or 0), i
    return sorted(range(len(records)), key=key)


def drawable_points(plot):
    """[odd, even] counts of the points a plot can draw (numeric time and residual, parity 0/1); None: no plot."""
    if not isinstance(plot, dict):
        return None
    columns = [plot.get(k) for k in ("seconds", "residual", "odd")]
    points = zip(*columns) if all(isinstance(c, list) for c in columns) else []
    usable = [p for t, r, p in points if number(t, 1e9) is not None and number(r, 1e9) is not None]
    drawn = [sum(p in (1, True) for p in usable), sum(p in (0, False) for p in usable)]
    span = plot.get("span_seconds")
    has_span = isinstance(span, list) and len(span) == 2 and all(number(v, 1e9) is not None for v in span)
    return drawn if sum(drawn) or has_span else None


class Checks:
    """What every report page must do; main() names each subclass's jsonl."""
    jsonl = None

    @classmethod
    def setUpClass(cls):
        if not cls.jsonl:
            raise unittest.SkipTest("no --batch-binary given")
        with open(cls.jsonl, "rb") as f:
            cls.lines = f.read().split(b"\n")
        cls.records = [json.loads(raw) for raw in cls.lines if is_record(raw)]
        cls.flagged = [i for i, r in enumerate(cls.records) if r.get("flagged") is True]
        # Run from a directory of its own, as from the scan's, with the page written elsewhere.
        cls.scan_dir = os.path.join(ARGS.scratch, "scan dir")
        os.makedirs(cls.scan_dir, exist_ok=True)
        cls.html = os.path.join(ARGS.scratch, "pages", cls.__name__ + ".html")
        subprocess.run([ARGS.report_binary, cls.jsonl, "-o", cls.html], check=True,
                       stderr=subprocess.DEVNULL, cwd=cls.scan_dir)

    def setUp(self):
        self.page = Page(self.html)
        self.addCleanup(lambda: (BROWSER.call("Target.closeTarget", {"targetId": self.page.target}),
                                 BROWSER.events.clear()))
        self.assertEqual(self.page.js("document.documentElement.getAttribute('data-script')"), "ready",
                         "the page's script did not run")

    def test_page_fetches_nothing_throws_nothing_and_no_name_became_markup(self):
        self.assertEqual([e["request"]["url"] for e in self.page.events("Network.requestWillBeSent")], [self.page.url])
        errors = self.page.events("Runtime.exceptionThrown")
        errors += [e for e in self.page.events("Log.entryAdded") if e["entry"].get("level") == "error"]
        self.assertEqual(errors, [])
        self.assertEqual(self.page.js(
            "[document.scripts.length, document.images.length, document.title, Array.from(document.querySelectorAll("
            "'*')).filter(e => Array.from(e.attributes).some(a => a.name.startsWith('on'))).length]"),
            [1, 0, f"gainscan report: {len(self.records)} files, {len(self.flagged)} flagged", 0])

    def test_every_record_is_one_row_under_its_name_flagged_first_then_by_p_value(self):
        n = len(self.records)
        self.assertEqual(self.page.shown(), expected_order(self.records))
        self.assertEqual(self.page.count_text(), f"{n} of {n} files shown")
        names = self.page.js("Array.from(document.querySelectorAll('#files-table tbody tr'))"
                             ".map(r => [Number(r.getAttribute('data-index')), r.cells[1].textContent])")
        for index, text in names:
            name = self.records[index]["file"]
            hidden = [c for c in name if ord(c) < 0x20 or 0x202A <= ord(c) <= 0x202E]
            # Controls and direction overrides are shown by their code, never as themselves.
            self.assertEqual(text, "".join(f"<U+{ord(c):04X}>" if c in hidden else c for c in name))

    def test_filters_show_exactly_their_files_count_them_and_combine(self):
        n, order = len(self.records), expected_order(self.records)
        text = lambda v: v if isinstance(v, str) else ""
        for select_id, field in (("filter-status", "status"), ("filter-format", "format")):
            values = self.page.options(select_id)
            self.assertEqual(sorted(values), sorted({text(r.get(field)) for r in self.records}))
            for value in values:
                self.page.choose(select_id, value)
                expected = [i for i in order if text(self.records[i].get(field)) == value]
                self.assertEqual(self.page.shown(), expected, value)
                self.assertEqual(self.page.count_text(), f"{len(expected)} of {n} files shown")
                if self.flagged:
                    self.page.choose("filter-verdict", "flagged")
                    self.assertEqual(self.page.shown(), [i for i in expected if i in self.flagged], value)
                    self.page.choose("filter-verdict", None)
            self.page.choose(select_id, None)
            self.assertEqual(self.page.shown(), order)
        seen = []
        for value in self.page.options("filter-verdict"):
            self.page.choose("filter-verdict", value)
            seen += self.page.shown()
            if value == "flagged":
                self.assertEqual(self.page.shown(), [i for i in order if i in self.flagged])
        self.assertEqual(sorted(seen), list(range(n)), "the verdicts split the files")

    def test_clicking_a_heading_sorts_by_it_and_again_reverses_keeping_the_filter(self):
        self.page.choose("filter-status", "ok")
        rank = {index: position for position, index in enumerate(expected_order(self.records))}
        ok = [i for i in rank if self.records[i].get("status") == "ok"]
        scored = [i for i in ok if number(self.records[i].get("score")) is not None]
        unscored = sorted((i for i in ok if i not in scored), key=rank.get)
        for sign in (1, -1):
            self.page.js("Array.from(document.querySelectorAll('#files-table thead th button'))"
                         ".find(b => b.textContent === 'Score').click()")
            self.assertEqual(self.page.shown(), sorted(
                scored, key=lambda i: (sign * self.records[i]["score"], rank[i])) + unscored)

    def test_each_flagged_file_has_its_section_plot_and_links(self):
        found = self.page.js("""Array.from(document.querySelectorAll('section.evidence')).map(s => {
            const svg = s.querySelector('svg');
            return [Number(s.getAttribute('data-index')), !!s.querySelector('.noplot'),
                    svg && [svg.querySelectorAll('circle.odd').length, svg.querySelectorAll('rect.even').length],
                    svg && svg.getBoundingClientRect().width,
                    Array.from(s.querySelectorAll('a.records-file')).map(a => a.href)]; })""")
        self.assertEqual(sorted(f[0] for f in found), self.flagged)
        for index, noplot, drawn, width, links in found:
            points = drawable_points(self.records[index].get("plot"))
            self.assertEqual((drawn, noplot), (points, points is None), index)
            if points:
                self.assertGreater(width, 300, "the plot is laid out at a readable size")
            dump = self.records[index].get("records_file")
            self.assertEqual([urllib.parse.unquote(urllib.parse.urlparse(a).path) for a in links],
                             [os.path.join(self.scan_dir, dump)] if dump else [], "links lead to the scan's files")
        self.assertEqual(self.page.js("Array.from(document.querySelectorAll('#files-table tbody tr.flagged td.name a'))"
                                      ".map(a => document.querySelector(a.getAttribute('href')).dataset.index)"),
                         [str(i) for i in expected_order(self.records) if i in self.flagged])


class SampleReport(Checks, unittest.TestCase):
    pass


class DamagedReport(Checks, unittest.TestCase):
    def test_lines_that_could_not_be_used_are_named_by_number(self):
        named = self.page.js("Array.from(document.querySelectorAll('#input-problems li')).map(li => li.textContent)")
        bad = [n for n, raw in enumerate(self.lines, 1) if raw.strip() and not is_record(raw)]
        self.assertEqual([int(t.split(":")[0].split()[1]) for t in named], bad)


class BatchReport(Checks, unittest.TestCase):
    """What today's gainscan-batch writes, over the test fixtures: the report keeps up with it."""


def scan_fixtures(path):
    with open(path, "wb") as out:  # exit status 1 or 2 (something flagged, an error record) is a finished scan too
        status = subprocess.run([ARGS.batch_binary, "--format", "jsonl", "--summary", "-q", ARGS.fixtures,
                                 os.path.join(ARGS.scratch, "no such file.mp3")], stdout=out).returncode
    assert status in (0, 1, 2), f"gainscan-batch failed with status {status}"
    return path


def main():
    global ARGS, BROWSER
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--report-binary", "--data", "--scratch"):
        parser.add_argument(name, required=True, type=os.path.abspath)  # the programs run elsewhere
    parser.add_argument("--chromium", default=os.environ.get("GAINSCAN_CHROMIUM"))
    parser.add_argument("--batch-binary", type=os.path.abspath, help="gainscan-batch, to report on its own output")
    parser.add_argument("--fixtures", type=os.path.abspath, help="files for gainscan-batch to scan")
    ARGS, rest = parser.parse_known_args()
    names = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")
    chromium = ARGS.chromium or next(filter(None, map(shutil.which, names)), None)
    if not chromium:
        print("SKIPPED: no Chromium found (install Debian's chromium, or name one with --chromium)")
        return 77
    shutil.rmtree(ARGS.scratch, ignore_errors=True)
    os.makedirs(os.path.join(ARGS.scratch, "pages"))
    SampleReport.jsonl, DamagedReport.jsonl = (os.path.join(ARGS.data, n) for n in ("sample.jsonl", "damaged.jsonl"))
    BatchReport.jsonl = ARGS.batch_binary and scan_fixtures(os.path.join(ARGS.scratch, "batch.jsonl"))
    BROWSER = Browser(chromium, tempfile.mkdtemp(prefix="profile-", dir=ARGS.scratch))
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        BROWSER.close()
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
