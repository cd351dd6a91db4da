#!/usr/bin/env python3
"""Runs golden cases: each tests/golden/*.test file holds commands and the
output they must print, as data.

  # what the case is about
  RUN: %gainscan %fixtures/some.mp3
  RUN: %stream %in %t && %dump %t
  frame v=1 ...            (other lines before EXPECT: become the file %in)
  EXPECT:
  ...the commands' standard output; standard error lines as "[stderr] ...",
  a non-zero exit status as "[exit N]"

Substitutions: %gainscan %dump %stream %embed (programs), %fixtures, %in, %t
(a scratch file). Paths are written back as these names in the output.

  golden.py --bin NAME=PATH ... [--update] CASE...
--update rewrites each case's EXPECT section with what the commands print now.
"""
import argparse, os, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run_case(path, programs, update):
    text = open(path).read()
    head, sep, expected = text.partition('EXPECT:\n')
    runs = [l[4:].strip() for l in head.splitlines() if l.startswith('RUN:')]
    body = [l for l in head.splitlines() if l.strip() and not l.startswith(('RUN:', '#'))]
    with tempfile.TemporaryDirectory() as tmp:
        names = dict(programs, fixtures=os.path.join(HERE, 'fixtures'), t=os.path.join(tmp, 't'),
                     **{'in': os.path.join(tmp, 'in')})
        open(names['in'], 'w').write('\n'.join(body) + '\n')
        output = ''
        for command in runs:
            for name in sorted(names, key=len, reverse=True):
                command = command.replace('%' + name, names[name])
            p = subprocess.run(command, shell=True, capture_output=True, timeout=60)
            output += p.stdout.decode('latin-1')
            output += ''.join(f'[stderr] {l}\n' for l in p.stderr.decode('latin-1').splitlines())
            output += f'[exit {p.returncode}]\n' if p.returncode else ''
        for name in sorted(names, key=lambda n: len(names[n]), reverse=True):
            output = output.replace(names[name], '%' + name)
    if update:
        open(path, 'w').write(head + sep + output)
        return True
    if output == expected:
        return True
    sys.stdout.writelines(l + '\n' for l in [f'FAIL {path}', '--- expected', expected, '--- got', output])
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--bin', action='append', default=[], help='NAME=PATH of a program')
    ap.add_argument('--update', action='store_true')
    ap.add_argument('cases', nargs='+')
    args = ap.parse_args()
    programs = dict(b.split('=', 1) for b in args.bin)
    failed = [c for c in args.cases if not run_case(c, programs, args.update)]
    print(f'{len(args.cases) - len(failed)} of {len(args.cases)} golden cases pass')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
