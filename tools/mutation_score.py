#!/usr/bin/env python3
"""How many seeded mutants of analyser/ and decoder/ the test suite kills.

Copies the product tree (the working tree, or --product REV) and the tests
(--tests-from REV, default the same tree) into its own directory, builds once,
then for each mutant rewrites one line, rebuilds incrementally, and runs only
the test programs the rebuild touched, stopping at the first failure. Never
writes into the repository it is started from.

  tools/mutation_score.py [--product worktree|REV] [--tests-from worktree|REV]
                          [--count 160] [--seed 11] [--timeout 60] [--list]
"""
import argparse, glob, json, os, random, re, shutil, subprocess, sys, tempfile, time

REPO = subprocess.run(['git', 'rev-parse', '--show-toplevel'], capture_output=True, text=True,
                      cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
SWAP = {'<': '<=', '<=': '<', '>': '>=', '>=': '>', '==': '!=', '!=': '==', '&&': '||', '||': '&&',
        '+': '-', '-': '+', '*': '/', '/': '*', '%': '*', '&': '|', '|': '&', '^': '&', '<<': '>>',
        '>>': '<<', '+=': '-=', '-=': '+=', '|=': '&=', '&=': '|=', '<<=': '>>=', '>>=': '<<='}
OPERATORS = [  # (kind, pattern, replacement of the match)
    ('flip', re.compile(r'(?<= )(<=|>=|==|!=|<|>|&&|\|\|)(?= )'), lambda m: SWAP[m.group(1)]),
    ('arith', re.compile(r'(?<= )(\+|-|\*|/|%|&|\||\^|<<|>>|\+=|-=|\|=|&=|<<=|>>=)(?= )'),
     lambda m: SWAP[m.group(1)]),
    ('const', re.compile(r'(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?=[uU]?(?![\w.]))'),
     lambda m: str(int(m.group(1), 0) + 1)),
    ('swap', re.compile(r'(?<![\w.\])>])([A-Za-z_][\w.]*|\d+) (-|/|<<|>>) ([A-Za-z_][\w.]*|\d+)(?![\w(\[.])'),
     lambda m: f'{m.group(3)} {m.group(2)} {m.group(1)}'),
    ('index', re.compile(r'\[([a-z_]\w*)\]'), lambda m: f'[{m.group(1)} + 1]'),
    ('index', re.compile(r'\[static_cast<std::size_t>\('), lambda m: '[1 + static_cast<std::size_t>('),
]
STATEMENT = re.compile(r'^\s*(?:[\w.\[\]>-]+ (?:[-+|&^]|<<|>>)?= .*|(?:\+\+|--)?[\w.\[\]>-]+(?:\+\+|--)?'
                       r'|(?!return\b)[\w:.>-]+\(.*\));$')


def sh(cmd, cwd=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def export(rev, paths, dest):
    """Copies `paths` of REV (or of the working tree, untracked files included) into dest."""
    if rev == 'worktree':
        files = sh(['git', 'ls-files', '-co', '--exclude-standard', '-z', '--'] + paths, cwd=REPO).stdout
        for f in filter(None, files.decode().split('\0')):
            if os.path.isfile(os.path.join(REPO, f)):
                os.makedirs(os.path.dirname(os.path.join(dest, f)) or dest, exist_ok=True)
                shutil.copy2(os.path.join(REPO, f), os.path.join(dest, f))
    else:
        tar = subprocess.run(['git', 'archive', rev, '--'] + paths, cwd=REPO, stdout=subprocess.PIPE, check=True)
        subprocess.run(['tar', '-x', '-C', dest], input=tar.stdout, check=True)


def condition_inverted(line):
    m = re.search(r'\b(if|while) \(', line)
    if not m:
        return None
    depth, start = 0, m.end() - 1
    for i in range(start, len(line)):
        depth += {'(': 1, ')': -1}.get(line[i], 0)
        if depth == 0:
            return line[:start + 1] + '!(' + line[start + 1:i] + ')' + line[i:]
    return None


def mutants_of(src):
    found = []
    for root, _, files in os.walk(src):
        for name in files:
            path = os.path.relpath(os.path.join(root, name), src)
            if not re.match(r'(analyser|decoder)/.*\.(cpp|h)$', path) or path.endswith(
                    ('layer3_tables.cpp', 'main.cpp')):
                continue
            for no, line in enumerate(open(os.path.join(src, path)).read().split('\n'), 1):
                code = line.split('//')[0]
                if '"' in code or re.match(r'\s*(#|\*|/\*|static_assert|inline constexpr|using |'
                                           r'template|struct |enum )', code) or not code.strip():
                    continue
                tail = line[len(code):]
                new_lines = set()
                for kind, pattern, repl in OPERATORS:
                    for m in pattern.finditer(code):
                        new_lines.add((kind, code[:m.start()] + repl(m) + code[m.end():] + tail))
                inverted = condition_inverted(code)
                if inverted:
                    new_lines.add(('invert', inverted + tail))
                if STATEMENT.match(code):
                    new_lines.add(('drop', re.match(r'\s*', code).group(0) + ';' + tail))
                for kind, new in sorted(new_lines):
                    if new != line:
                        found.append({'file': path, 'line': no, 'kind': kind, 'old': line.strip(),
                                      'new': new.strip(), 'text': new})
    return sorted(found, key=lambda m: (m['file'], m['line'], m['kind'], m['new']))


def test_units(build):
    """One unit per test program; ctest's per-case gtest entries are folded into their binary."""
    info = json.loads(sh(['ctest', '--show-only=json-v1'], cwd=build).stdout)
    units = {}
    for t in info['tests']:
        cmd = t.get('command') or []
        if not cmd:
            continue
        if any(a.startswith('--gtest_filter') for a in cmd):
            cmd = [cmd[0]]
        cwd = next((p['value'] for p in t.get('properties', []) if p['name'] == 'WORKING_DIRECTORY'), build)
        units.setdefault(tuple(cmd), {'cmd': cmd, 'cwd': cwd})
    for u in units.values():  # the built files a unit runs: its programs and their shared libraries
        args = [a.split('=', 1)[-1] for a in u['cmd']]  # also NAME=PATH arguments
        u['deps'] = {a for a in args if a.startswith(build) and os.path.isfile(a)}
        for a in list(u['deps']):
            ldd = subprocess.run(['ldd', a], capture_output=True, text=True).stdout
            u['deps'] |= set(re.findall(r'=> (' + re.escape(build) + r'\S+)', ldd))
    return list(units.values())


def built_files(build):
    out = {}
    for root, _, files in os.walk(build):
        for f in files:
            p = os.path.join(root, f)
            if os.access(p, os.X_OK) and not f.endswith(('.a', '.o', '.sh')):
                out[p] = os.stat(p).st_mtime_ns
    return out


def run_units(units, slack, parallel=1):
    """'pass', 'fail' or 'timeout' for the first unit that does not pass; up
    to `parallel` test programs run at once, and the rest are dropped at the
    first that fails."""
    pending, running, outcome = list(units), [], 'pass'
    while (pending or running) and outcome == 'pass':
        while pending and len(running) < parallel:
            u = pending.pop(0)
            p = subprocess.Popen(u['cmd'], cwd=u['cwd'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 start_new_session=True)
            running.append((p, time.time() + 3 * u.get('seconds', 200) + slack))
        time.sleep(0.01)
        for p, deadline in list(running):
            if p.poll() is not None:
                running.remove((p, deadline))
                outcome = 'fail' if p.returncode != 0 else outcome
            elif time.time() > deadline:
                running.remove((p, deadline))
                os.killpg(p.pid, 9)
                p.wait()
                outcome = 'timeout'
    for p, _ in running:
        os.killpg(p.pid, 9)
        p.wait()
    return outcome


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--product', default='worktree', help='REV or worktree: analyser/, decoder/ and the build')
    ap.add_argument('--tests-from', default='worktree', help='REV or worktree: tests/ and tools/')
    ap.add_argument('--take', action='append', default=[], metavar='REV:PATH',
                    help='PATH (a glob in the copy) as it is in REV, or absent if REV lacks it')
    ap.add_argument('--count', type=int, default=160)
    ap.add_argument('--seed', type=int, default=11)
    ap.add_argument('--timeout', type=float, default=5,
                    help='seconds a test program may run beyond three times its unmutated time')
    ap.add_argument('--jobs', type=int, default=2, help='build parallelism')
    ap.add_argument('--parallel', type=int, default=2, help='test programs run at once')
    ap.add_argument('--workdir', help='default: a new temporary directory')
    ap.add_argument('--list', action='store_true', help='only list the selected mutants')
    args = ap.parse_args()

    for name in ('product', 'tests_from'):  # a fixed commit, whatever the branch does meanwhile
        rev = getattr(args, name)
        if rev != 'worktree':
            setattr(args, name, sh(['git', 'rev-parse', '--short', rev], cwd=REPO).stdout.decode().strip())
    work = args.workdir or tempfile.mkdtemp(prefix='gainscan-mutation-')
    src, build = os.path.join(work, 'src'), os.path.join(work, 'build')
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    export(args.product, ['.'], src)
    for d in ('tests', 'tools'):
        shutil.rmtree(os.path.join(src, d), ignore_errors=True)
    os.makedirs(os.path.join(src, 'tests'))
    export(args.tests_from, ['tests', 'tools'], src)
    export(args.product, ['tools/gen_layer3_tables.py'], src)  # the product's tables come from its own generator
    for spec in args.take:  # e.g. other people's tests as they were at the product's revision
        rev, path = spec.split(':', 1)
        for old in glob.glob(os.path.join(src, path)):
            shutil.rmtree(old) if os.path.isdir(old) else os.remove(old)
        if rev == 'worktree' or sh(['git', 'cat-file', '-e', f'{rev}:{path}'], cwd=REPO).returncode == 0:
            export(rev, [path], src)
    top = os.path.join(src, 'CMakeLists.txt')
    # A mutant may leave a variable unused; and shared product libraries make a
    # mutant's rebuild one compile and one link instead of relinking every test.
    for cmake_file, old, new in (('CMakeLists.txt', '-Werror', ''),
                                 ('decoder/CMakeLists.txt', 'gainscan_decoder STATIC', 'gainscan_decoder SHARED'),
                                 ('analyser/CMakeLists.txt', 'gainscan_analyser STATIC', 'gainscan_analyser SHARED')):
        path = os.path.join(src, cmake_file)
        text = open(path).read().replace(old, new)
        open(path, 'w').write(text)

    candidates = mutants_of(src)
    rng, by_kind = random.Random(args.seed), {}
    for m in candidates:
        by_kind.setdefault(m['kind'], []).append(m)
    for kind in sorted(by_kind):  # each kind shuffled, then taken in turn, so none crowds out the rest
        rng.shuffle(by_kind[kind])
    chosen = []
    while len(chosen) < min(args.count, len(candidates)):
        for kind in sorted(by_kind):
            if by_kind[kind] and len(chosen) < args.count:
                chosen.append(by_kind[kind].pop())
    chosen.sort(key=lambda m: (m['file'], m['line'], m['kind'], m['new']))
    if args.list:
        for m in chosen:
            print(f"{m['file']}:{m['line']} [{m['kind']}] {m['old']}  =>  {m['new']}")
        return 0

    started = time.time()
    for step in (['cmake', '-S', src, '-B', build, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=None',
                  '-DCMAKE_CXX_FLAGS=-O1 -g0', '-DGAINSCAN_BENCH=OFF', '-DCMAKE_POSITION_INDEPENDENT_CODE=ON',
                  '-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST'],
                 ['cmake', '--build', build, '-j', str(args.jobs)]):
        r = sh(step)
        if r.returncode != 0:
            sys.exit('the unmutated tree does not build:\n' + r.stdout.decode()[-3000:])
    units = test_units(build)
    if not units:
        sys.exit('no tests found')
    timed = []
    for u in units:
        t = time.time()
        if run_units([u], 0) != 'pass':
            sys.exit(f"the unmutated tree fails {' '.join(u['cmd'])}")
        u['seconds'] = time.time() - t
        timed.append((u['seconds'], u))
    units = [u for _, u in sorted(timed, key=lambda x: x[0])]
    print(f"{len(units)} test programs, {len(candidates)} candidate mutants, {len(chosen)} chosen "
          f"(seed {args.seed}); tests from {args.tests_from}, product from {args.product}", flush=True)

    results = {'killed': [], 'survived': [], 'timeout': [], 'no_compile': []}
    for n, m in enumerate(chosen, 1):
        path = os.path.join(src, m['file'])
        original = open(path).read()
        lines = original.split('\n')
        lines[m['line'] - 1] = m['text']
        before = built_files(build)
        open(path, 'w').write('\n'.join(lines))
        try:
            ok = sh(['cmake', '--build', build, '-j', str(args.jobs)], timeout=600).returncode == 0
            if ok:
                after = built_files(build)
                changed = {p for p, t in after.items() if before.get(p) != t}
                affected = [u for u in units if changed & u['deps']]
                outcome = run_units(affected, args.timeout, args.parallel) if affected else 'pass'
                outcome = {'pass': 'survived', 'fail': 'killed', 'timeout': 'timeout'}[outcome]
            else:
                outcome = 'no_compile'
        finally:
            open(path, 'w').write(original)
        results[outcome].append(m)
        print(f"[{n}/{len(chosen)}] {time.time() - started:5.0f}s {outcome:10} {m['file']}:{m['line']} [{m['kind']}] {m['new']}", flush=True)
    sh(['cmake', '--build', build, '-j', str(args.jobs)])

    compiled = len(chosen) - len(results['no_compile'])
    print(f"\nsurvivors:")
    for m in results['survived']:
        print(f"  {m['file']}:{m['line']} [{m['kind']}] {m['old']}  =>  {m['new']}")
    print(f"\nmutants {len(chosen)}: killed {len(results['killed'])}, survived {len(results['survived'])}, "
          f"timed out {len(results['timeout'])}, did not compile {len(results['no_compile'])}")
    print(f"score (killed + timed out) / compiled: "
          f"{100.0 * (len(results['killed']) + len(results['timeout'])) / max(compiled, 1):.1f} % "
          f"in {time.time() - started:.0f} s; work directory {work}")
    json.dump(results, open(os.path.join(work, 'results.json'), 'w'), indent=1)
    return 0


if __name__ == '__main__':
    sys.exit(main())
