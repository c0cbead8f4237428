#!/usr/bin/env python3
"""What a large design costs: the design at the bound opened in the editor page, edited and saved, and
the saves after an edit of the two documents whose pictures' names were costly to look for (one long
string in the design, 64 pictures with names of 255 bytes; 16 code files of 8 MB). Each row gives the
time and the peak of the proportional set size (Pss of /proc/<pid>/smaps_rollup) summed over the test
process and every process it started (web and network processes, the project server), beside the
figures measured on the commit before these changes (e458c8b): there the searches ran on a design of
120 MB, past today's bound, which is why the rows here use a design at the bound.

It runs the tests that make these documents and prints their figures, from a build folder (a Release
build gives the figures a person meets; the sanitizer build's korvel holds more):

  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
  cmake --build build-release --target document_design_bound_tests document_design_size_tests
  xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- python3 bench/design_bound_bench.py build-release
"""
import os, re, subprocess, sys

BEFORE = {
    'bound': 'design of 60 MiB: 1,570 MB in all (719 MB in korvel); 120 MiB: 2,020 MB, and the save never succeeds',
    'string': '106.6 s and 60.6 s (names of 11 bytes: 45.4 s), main loop held throughout',
    'code': '57.9 to 60.1 s, main loop held throughout',
}


def run(binary, test_filter):
    out = subprocess.run([binary, '--gtest_filter=' + test_filter], capture_output=True, text=True)
    if out.returncode != 0:
        sys.stderr.write(out.stdout[-4000:] + out.stderr[-4000:])
        sys.exit('%s failed' % binary)
    return out.stdout


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else 'build-release'
    bound = run(os.path.join(build, 'tests/document/document_design_bound_tests'), 'DesignBound.*')
    search = run(os.path.join(build, 'tests/document_container/document_design_size_tests'), 'UnusedFileSearch.Long*')
    rows = []
    m = re.search(r'a design of ([\d.]+) MB: opened, edited and saved in ([\d.]+) s, at most (\d+) MB', bound)
    rows.append(('design at the bound (%s MB): open, edit, save' % m.group(1),
                 '%s s, %s MB' % (m.group(2), m.group(3)), BEFORE['bound']))
    for key, what in (('string', 'a design of one long string'), ('code', '16 code files of 8 MB')):
        m = re.search(re.escape(what) + r': saved in ([\d.]+) s, the main loop held at most ([\d.]+) s, at most (\d+) MB',
                      search)
        rows.append(('save after an edit, %s' % what,
                     '%s s (main loop held %s s), %s MB' % (m.group(1), m.group(2), m.group(3)), BEFORE[key]))
    width = max(len(r[0]) for r in rows)
    print('%-*s  %-45s  %s' % (width, 'case', 'now: time, summed peak Pss', 'before (e458c8b)'))
    for what, now, before in rows:
        print('%-*s  %-45s  %s' % (width, what, now, before))


if __name__ == '__main__':
    main()
