#!/usr/bin/env python3
"""The HTML report in a real browser.

gainscan-report turns the sample reports in tests/report/ into HTML; headless
Chromium opens each page from disk, and the checks go through the page's DOM
as a reader's browser builds it: every record is a row, the filters change the
rows shown and the count, the column headings sort, each flagged file has its
plot, and the page asks for nothing over the network and throws no error.

Chromium is driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ending in NUL on file descriptors 3
and 4), which needs nothing beyond the standard library and no network port.
What each test expects is worked out here from the jsonl itself, never
copied from the page.

Exit status 77 (ctest: skipped) when no Chromium is installed.
"""
import argparse
import fcntl
import json
import math
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

SKIPPED = 77
CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")
ARGS = None
BROWSER = None


# ------------------------------------------------------------------ the browser

class DevToolsError(RuntimeError):
    pass


class Browser:
    """One headless Chromium; DevTools commands over a pair of pipes."""

    def __init__(self, binary, profile):
        def high(fd):  # keep our ends clear of 3 and 4, which the child needs
            moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
            os.close(fd)
            return moved

        to_browser_r, to_browser_w = map(high, os.pipe())
        from_browser_r, from_browser_w = map(high, os.pipe())

        def child():
            os.dup2(to_browser_r, 3)  # dup2 clears close-on-exec on the copies
            os.dup2(from_browser_w, 4)

        self.process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--disable-extensions", "--disable-background-networking", "--disable-sync",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            close_fds=False, preexec_fn=child)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.out = to_browser_w
        self.inp = from_browser_r
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DevToolsError("no answer from Chromium in time")
            ready, _, _ = select.select([self.inp], [], [], left)
            if ready:
                chunk = os.read(self.inp, 1 << 16)
                if not chunk:
                    raise DevToolsError("Chromium closed the DevTools pipe")
                self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._receive(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise DevToolsError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            self.events.append(answer)

    def wait_for(self, method, session, timeout=30):
        deadline = time.monotonic() + timeout
        for i, event in enumerate(self.events):
            if event.get("method") == method and event.get("sessionId") == session:
                return self.events.pop(i)
        while True:
            event = self._receive(deadline)
            if event.get("method") == method and event.get("sessionId") == session:
                return event
            self.events.append(event)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except (DevToolsError, OSError):
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.out)
        os.close(self.inp)


class Page:
    """A tab showing one file; `evaluate` runs an expression in it."""

    def __init__(self, browser, path):
        self.browser = browser
        self.url = "file://" + urllib.parse.quote(os.path.abspath(path))
        self.target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.call("Target.attachToTarget", {"targetId": self.target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            browser.call(domain + ".enable", session=self.session)
        browser.call("Page.navigate", {"url": self.url}, session=self.session)
        browser.wait_for("Page.loadEventFired", self.session)

    def evaluate(self, expression):
        result = self.browser.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                                   session=self.session)
        if "exceptionDetails" in result:
            raise DevToolsError(f"{expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def events(self, *methods):
        return [e for e in self.browser.events if e.get("sessionId") == self.session and e.get("method") in methods]

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})
        self.browser.events = [e for e in self.browser.events if e.get("sessionId") != self.session]


# ------------------------------------------------------------------ what the pages should show

def read_jsonl(path):
    """The records of a report as the reader should take them: objects with a "file" string."""
    records = []
    with open(path, "rb") as f:
        for raw in f:
            try:
                value = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                continue
            if isinstance(value, dict) and isinstance(value.get("file"), str):
                records.append(value)
    return records


def number(record, name):
    value = record.get(name)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return value


def expected_order(records):
    """Flagged first, then p_value ascending, then score descending, absent values last, then scan order."""
    def key(item):
        index, r = item
        p, s = number(r, "p_value"), number(r, "score")
        return (r.get("flagged") is not True, p is None, p if p is not None else 0,
                s is None, -s if s is not None else 0, index)
    return [index for index, _ in sorted(enumerate(records), key=key)]


def drawable_points(plot):
    """(odd, even) counts of the points a plot can draw: numeric time and residual, parity 0/1."""
    if not isinstance(plot, dict):
        return None
    columns = [plot.get(k) for k in ("seconds", "residual", "odd")]
    odd = even = 0
    if all(isinstance(c, list) for c in columns):
        for t, r, p in zip(*columns):
            if any(isinstance(v, bool) or not isinstance(v, (int, float)) or not abs(v) <= 1e9 for v in (t, r)):
                continue
            if p in (1, True) and p is not False:
                odd += 1
            elif p in (0, False):
                even += 1
    span = plot.get("span_seconds")
    has_span = isinstance(span, list) and len(span) == 2 and all(
        not isinstance(v, bool) and isinstance(v, (int, float)) and abs(v) <= 1e9 for v in span)
    if odd + even == 0 and not has_span:
        return None
    return odd, even, has_span


def shown_indices(page):
    return page.evaluate(
        "Array.from(document.querySelectorAll('#files-table tbody tr'))"
        ".filter(r => !r.hidden && getComputedStyle(r).display !== 'none')"
        ".map(r => Number(r.getAttribute('data-index')))")


def choose(page, select_id, value):
    """Selects the option of `value` (None: the first option, "all") as a reader would."""
    index = page.evaluate(
        f"(() => {{ const s = document.getElementById({json.dumps(select_id)});"
        f" const i = {json.dumps(value)} === null ? 0"
        f" : Array.from(s.options).findIndex((o, i) => i > 0 && o.value === {json.dumps(value)});"
        f" if (i >= 0) {{ s.selectedIndex = i; s.dispatchEvent(new Event('change')); }} return i; }})()")
    if index < 0:
        raise AssertionError(f"{select_id} has no option {value!r}")


def shown_text(page):
    return page.evaluate("document.getElementById('shown').textContent")


# ------------------------------------------------------------------ the tests

class ReportPage(unittest.TestCase):
    """A page made from a jsonl report, opened fresh for every test."""
    jsonl = None

    @classmethod
    def setUpClass(cls):
        cls.jsonl_path = os.path.join(ARGS.data, cls.jsonl)
        cls.make_jsonl()
        cls.records = read_jsonl(cls.jsonl_path)
        # Run from a directory of its own, as from the scan's, with the page written elsewhere.
        cls.scan_dir = os.path.join(ARGS.scratch, "scan dir")
        os.makedirs(cls.scan_dir, exist_ok=True)
        cls.html = os.path.join(ARGS.scratch, "pages", os.path.splitext(cls.jsonl)[0] + ".html")
        subprocess.run([ARGS.report_binary, os.path.abspath(cls.jsonl_path), "-o", os.path.abspath(cls.html)],
                       check=True, stderr=subprocess.DEVNULL, cwd=cls.scan_dir)

    @classmethod
    def make_jsonl(cls):
        pass

    def setUp(self):
        self.page = Page(BROWSER, self.html)
        self.addCleanup(self.page.close)
        self.assertEqual(self.page.evaluate("document.documentElement.getAttribute('data-script')"), "ready",
                         "the page's script did not run")


class SampleReport(ReportPage):
    jsonl = "sample.jsonl"

    def test_every_record_is_one_row_under_its_name(self):
        rows = self.page.evaluate(
            "Array.from(document.querySelectorAll('#files-table tbody tr'))"
            ".map(r => [Number(r.getAttribute('data-index')), r.cells[1].textContent])")
        self.assertEqual(sorted(i for i, _ in rows), list(range(len(self.records))))
        for index, text in rows:
            name = self.records[index]["file"]
            if any(ord(c) < 0x20 or 0x202A <= ord(c) <= 0x202E for c in name):
                # Shown by their code, never as themselves.
                self.assertFalse(any(ord(c) < 0x20 or 0x202A <= ord(c) <= 0x202E for c in text), text)
                self.assertRegex(text, r"<U\+[0-9A-F]{4}>")
            else:
                self.assertEqual(text, name)

    def test_count_says_every_file_is_shown_before_any_filter(self):
        n = len(self.records)
        self.assertEqual(shown_text(self.page), f"{n} of {n} files shown")
        self.assertEqual(len(shown_indices(self.page)), n)

    def test_rows_come_flagged_first_then_by_p_value_then_score(self):
        self.assertEqual(shown_indices(self.page), expected_order(self.records))

    def test_status_filter_shows_exactly_the_files_of_that_status(self):
        self.check_filter("filter-status", lambda r: r.get("status") if isinstance(r.get("status"), str) else "")

    def test_format_filter_shows_exactly_the_files_of_that_format(self):
        self.check_filter("filter-format", lambda r: r.get("format") if isinstance(r.get("format"), str) else "")

    def check_filter(self, select_id, value_of):
        values = self.page.evaluate(
            f"Array.from(document.getElementById({json.dumps(select_id)}).options).slice(1).map(o => o.value)")
        self.assertEqual(sorted(values), sorted({value_of(r) for r in self.records}))
        for value in values:
            choose(self.page, select_id, value)
            expected = [i for i in expected_order(self.records) if value_of(self.records[i]) == value]
            self.assertEqual(shown_indices(self.page), expected, value)
            self.assertEqual(shown_text(self.page), f"{len(expected)} of {len(self.records)} files shown")
        choose(self.page, select_id, None)
        self.assertEqual(len(shown_indices(self.page)), len(self.records))

    def test_verdict_filter_splits_the_files_and_flagged_shows_the_flagged_ones(self):
        values = self.page.evaluate(
            "Array.from(document.getElementById('filter-verdict').options).slice(1).map(o => o.value)")
        seen = []
        for value in values:
            choose(self.page, "filter-verdict", value)
            shown = shown_indices(self.page)
            self.assertTrue(shown, value)
            self.assertEqual(shown_text(self.page), f"{len(shown)} of {len(self.records)} files shown")
            seen += shown
            if value == "flagged":
                self.assertEqual(shown, [i for i in expected_order(self.records)
                                         if self.records[i].get("flagged") is True])
        self.assertIn("flagged", values)
        self.assertEqual(sorted(seen), list(range(len(self.records))))

    def test_filters_combine(self):
        choose(self.page, "filter-format", "layer3")
        choose(self.page, "filter-verdict", "flagged")
        expected = [i for i in expected_order(self.records)
                    if self.records[i].get("format") == "layer3" and self.records[i].get("flagged") is True]
        self.assertEqual(shown_indices(self.page), expected)
        choose(self.page, "filter-status", "error")
        self.assertEqual(shown_indices(self.page), [])
        self.assertEqual(shown_text(self.page), f"0 of {len(self.records)} files shown")

    def test_clicking_a_heading_sorts_by_it_and_again_reverses(self):
        heading = "Score"
        click = ("Array.from(document.querySelectorAll('#files-table thead th button'))"
                 f".find(b => b.textContent === {json.dumps(heading)}).click()")
        with_score = [(number(r, "score"), i) for i, r in enumerate(self.records) if number(r, "score") is not None]
        without = [i for i, r in enumerate(self.records) if number(r, "score") is None]
        rank = {index: position for position, index in enumerate(expected_order(self.records))}
        without.sort(key=rank.get)
        self.page.evaluate(click)
        self.assertEqual(shown_indices(self.page),
                         [i for _, i in sorted(with_score, key=lambda p: (p[0], rank[p[1]]))] + without)
        self.page.evaluate(click)
        self.assertEqual(shown_indices(self.page),
                         [i for _, i in sorted(with_score, key=lambda p: (-p[0], rank[p[1]]))] + without)

    def test_sorting_keeps_the_filter(self):
        choose(self.page, "filter-status", "ok")
        self.page.evaluate("document.querySelectorAll('#files-table thead th button')[1].click()")
        shown = shown_indices(self.page)
        self.assertEqual(sorted(shown), [i for i, r in enumerate(self.records) if r.get("status") == "ok"])

    def test_each_flagged_file_has_a_section_with_its_plot(self):
        flagged = [i for i, r in enumerate(self.records) if r.get("flagged") is True]
        self.assertTrue(flagged)
        sections = self.page.evaluate(
            "Array.from(document.querySelectorAll('section.evidence')).map(s => Number(s.getAttribute('data-index')))")
        self.assertEqual(sorted(sections), flagged)
        for index in flagged:
            found = self.page.evaluate(f"""(() => {{
                const s = document.getElementById('file-{index}');
                const svg = s.querySelector('svg');
                return {{svg: !!svg, noplot: !!s.querySelector('.noplot'),
                         odd: svg ? svg.querySelectorAll('.carriers circle.odd').length : 0,
                         even: svg ? svg.querySelectorAll('.carriers rect.even').length : 0,
                         span: svg ? (svg.querySelector('.span text') || {{}}).textContent || '' : '',
                         width: svg ? svg.getBoundingClientRect().width : 0,
                         labels: svg ? Array.from(svg.querySelectorAll('text')).map(t => t.textContent) : []}};
            }})()""")
            points = drawable_points(self.records[index].get("plot"))
            if points is None:
                self.assertFalse(found["svg"], index)
                self.assertTrue(found["noplot"], index)
                continue
            self.assertTrue(found["svg"], index)
            self.assertGreater(found["width"], 300, "the plot is laid out at a readable size")
            self.assertEqual((found["odd"], found["even"]), points[:2], index)
            self.assertEqual(bool(found["span"]), points[2], index)
            self.assertIn("time in the file (s)", found["labels"])
            self.assertIn("energy residual (log2 units)", found["labels"])

    def test_flagged_names_in_the_table_link_to_their_sections(self):
        links = self.page.evaluate(
            "Array.from(document.querySelectorAll('#files-table tbody tr.flagged td.name a'))"
            ".map(a => document.querySelector(a.getAttribute('href')) !== null)")
        self.assertEqual(links, [True] * sum(r.get("flagged") is True for r in self.records))

    def test_record_dump_links_lead_to_the_files_the_scan_wrote(self):
        links = self.page.evaluate("Array.from(document.querySelectorAll('a.records-file')).map(a => a.href)")
        expected = [r["records_file"] for r in self.records if r.get("flagged") is True and r.get("records_file")]
        self.assertEqual(len(links), len(expected))
        for link in links:
            self.assertTrue(link.startswith("file:///"), link)
        self.assertEqual(sorted(urllib.parse.unquote(urllib.parse.urlparse(link).path) for link in links),
                         sorted(os.path.join(self.scan_dir, p) for p in expected))

    def test_hostile_names_stay_text(self):
        found = self.page.evaluate("""({
            scripts: document.scripts.length,
            handlers: Array.from(document.querySelectorAll('*')).filter(
                e => Array.from(e.attributes).some(a => a.name.startsWith('on'))).length,
            images: document.images.length,
            title: document.title})""")
        self.assertEqual(found, {"scripts": 1, "handlers": 0, "images": 0,
                                 "title": f"gainscan report: {len(self.records)} files, "
                                          f"{sum(r.get('flagged') is True for r in self.records)} flagged"})

    def test_page_requests_nothing_and_reports_no_error(self):
        requests = [e["params"]["request"]["url"] for e in self.page.events("Network.requestWillBeSent")]
        self.assertEqual(requests, [self.page.url])
        errors = [e["params"] for e in self.page.events("Runtime.exceptionThrown")]
        errors += [e["params"]["entry"] for e in self.page.events("Log.entryAdded")
                   if e["params"]["entry"].get("level") == "error"]
        self.assertEqual(errors, [])


class DamagedReport(ReportPage):
    jsonl = "damaged.jsonl"

    def test_lines_that_could_not_be_used_are_named_by_number(self):
        named = self.page.evaluate(
            "Array.from(document.querySelectorAll('#input-problems li')).map(li => li.textContent)")
        good = set()
        with open(os.path.join(ARGS.data, self.jsonl), "rb") as f:
            lines = f.read().split(b"\n")
        for number_, raw in enumerate(lines, 1):
            try:
                value = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                continue
            if isinstance(value, dict) and isinstance(value.get("file"), str):
                good.add(number_)
        bad = [n for n, raw in enumerate(lines, 1) if raw.strip() and n not in good]
        self.assertEqual([int(t.split(":")[0].split()[1]) for t in named], bad)

    def test_the_usable_records_are_listed_and_filterable(self):
        self.assertEqual(sorted(shown_indices(self.page)), list(range(len(self.records))))
        choose(self.page, "filter-verdict", "flagged")
        self.assertEqual(shown_indices(self.page),
                         [i for i, r in enumerate(self.records) if r.get("flagged") is True])

    def test_a_plot_with_unusable_points_draws_the_usable_ones(self):
        for index, record in enumerate(self.records):
            if record.get("flagged") is not True:
                continue
            odd, even, _ = drawable_points(record["plot"])
            drawn = self.page.evaluate(
                f"(() => {{ const s = document.getElementById('file-{index}');"
                f" return [s.querySelectorAll('circle.odd').length, s.querySelectorAll('rect.even').length]; }})()")
            self.assertEqual(drawn, [odd, even])


class BatchReport(ReportPage):
    """What today's gainscan-batch writes, over the test fixtures: the report keeps up with it."""
    jsonl = "batch.jsonl"

    @classmethod
    def make_jsonl(cls):
        if not ARGS.batch_binary:
            raise unittest.SkipTest("no --batch-binary given")
        cls.jsonl_path = os.path.join(ARGS.scratch, cls.jsonl)
        with open(cls.jsonl_path, "wb") as out:
            # Exit status 1 or 2 (something flagged, an error record) is a finished scan too.
            status = subprocess.run([ARGS.batch_binary, "--format", "jsonl", "--summary", "-q", ARGS.fixtures,
                                     os.path.join(ARGS.scratch, "no such file.mp3")],
                                    stdout=out, stderr=subprocess.DEVNULL).returncode
        if status not in (0, 1, 2):
            raise AssertionError(f"gainscan-batch failed with status {status}")

    def test_every_scanned_file_is_listed_and_the_filters_split_them(self):
        self.assertGreater(len(self.records), 10)
        n = len(self.records)
        self.assertEqual(sorted(shown_indices(self.page)), list(range(n)))
        self.assertEqual(shown_text(self.page), f"{n} of {n} files shown")
        choose(self.page, "filter-status", "error")
        self.assertEqual(shown_indices(self.page), [i for i, r in enumerate(self.records) if r["status"] == "error"])
        self.assertEqual(len(shown_indices(self.page)), 1)

    def test_each_flagged_file_has_its_section(self):
        sections = self.page.evaluate(
            "Array.from(document.querySelectorAll('section.evidence')).map(s => Number(s.getAttribute('data-index')))")
        self.assertEqual(sorted(sections), [i for i, r in enumerate(self.records) if r.get("flagged") is True])


def main():
    global ARGS, BROWSER
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--report-binary", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--chromium", default=os.environ.get("GAINSCAN_CHROMIUM"))
    parser.add_argument("--batch-binary", help="gainscan-batch, to check the report of its own output")
    parser.add_argument("--fixtures", help="files for gainscan-batch to scan")
    ARGS, rest = parser.parse_known_args()
    for name in ("report_binary", "data", "scratch", "batch_binary", "fixtures"):
        if getattr(ARGS, name):  # the programs run from directories of their own
            setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    chromium = ARGS.chromium or next(filter(None, map(shutil.which, CHROMIUM_NAMES)), None)
    if not chromium:
        print("SKIPPED: no Chromium found (install Debian's chromium, or name one with --chromium)")
        return SKIPPED
    shutil.rmtree(ARGS.scratch, ignore_errors=True)
    os.makedirs(os.path.join(ARGS.scratch, "pages"))
    profile = tempfile.mkdtemp(prefix="profile-", dir=ARGS.scratch)
    BROWSER = Browser(chromium, profile)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        BROWSER.close()
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
