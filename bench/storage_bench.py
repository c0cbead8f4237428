#!/usr/bin/env python3
"""Times the document storage beside the fastest peer tools on one generated project, in one run.

Builds a Release build of bench/storage_bench and bench/zip_bench (core only, in build-bench/ unless
--build is given)
and bench/zip_extract_peer.c (against libzip-dev: installed here with apt-get when run as root,
otherwise asked for), generates a project folder of --files files and --megabytes MB, 60 % of its
bytes incompressible (".png" files of random bytes, stored by us), the rest text, and prints one
row per kind of work: the median of --rounds interleaved rounds (ours, peer, ours, peer, ...)
of each side, the ratio ours / peer (below 1.0 is faster), the peak resident memory of each side
and, where a zip is written, both sizes.

  list entries                       zip_bench list         vs  unzip -l
  read every entry                   zip_bench read         vs  bsdtar -xOf
  open: zip -> working copy          storage_bench open     vs  libzip extract + syncfs
  first save into a new zip          storage_bench save     vs  7z a -tzip -mx=5 -mmt=on + fsync
  save after one edit, new process   storage_bench resave   vs  zip (replace one file) + fsync
  save after one edit, same session  storage_bench session  vs  zip (replace one file) + fsync
  zip -> working copy -> zip         storage_bench container vs bsdtar x + syncfs + 7z a -mmt=on + fsync

Compression pairs as follows: we deflate text at zlib's default level (6) and store images;
7z's deflate at -mx=5 gives about the same size for the same text; its deflate of random bytes
falls back to stored blocks. Listing and reading time the zip library alone (zip_bench), as the
peers are bare tools too; storage_bench does the same through the document storage. "session" opens the working copy and saves once, then the bench edits
one file and only the second save, in the same process, is timed.
"""
import argparse, glob, os, random, shutil, statistics, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EDITED = 'code/module01/file0401.js'


def require_tools():
    missing = [t for t in ('/usr/bin/time', 'unzip', 'bsdtar', '7z', 'zip', 'cc', 'pkg-config') if not shutil.which(t)]
    if missing:
        sys.exit('missing peer tools: %s (apt-get install time unzip libarchive-tools p7zip-full zip gcc pkg-config)'
                 % ' '.join(missing))
    if subprocess.run(['pkg-config', '--exists', 'libzip']).returncode != 0:
        if os.geteuid() != 0:
            sys.exit('the libzip peer needs libzip-dev: apt-get install libzip-dev')
        subprocess.run(['apt-get', 'install', '-y', 'libzip-dev'], check=True, stdout=subprocess.DEVNULL)


def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_CORE_ONLY=ON', '-DKORVEL_BUILD_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'storage_bench', 'zip_bench', '-j', '3'], check=True,
                   stdout=subprocess.DEVNULL)
    peer = os.path.join(folder, 'zip_extract_peer')
    flags = subprocess.run(['pkg-config', '--cflags', '--libs', 'libzip'], check=True, capture_output=True,
                           text=True).stdout.split()
    subprocess.run(['cc', '-O2', '-o', peer, os.path.join(root, 'bench', 'zip_extract_peer.c')] + flags, check=True)
    return os.path.join(folder, 'bench', 'storage_bench'), os.path.join(folder, 'bench', 'zip_bench'), peer


def generate(folder, files, megabytes):
    rng = random.Random(11)
    words = ['layer', 'frame', 'button', 'color', 'width', 'height', 'text', 'image', 'shadow', 'radius',
             'opacity', 'children', 'name', 'component', 'const', 'return', 'function', 'export']
    images = files // 5
    total = megabytes * 1024 * 1024
    image_size = total * 6 // 10 // images
    text_size = total * 4 // 10 // (files - images)
    for i in range(files):
        if i < images:
            path = os.path.join(folder, 'design/images/%04d.png' % i)
            data = rng.randbytes(image_size)
        else:
            path = os.path.join(folder, 'code/module%02d/file%04d.js' % (i % 40, i))
            text = []
            size = 0
            while size < text_size:
                w = rng.choice(words) + str(rng.randrange(1000))
                text.append(w)
                size += len(w) + 1
            data = ' '.join(text).encode()[:text_size]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
    with open(os.path.join(folder, 'design/document.json'), 'w') as f:
        f.write('{"version":1}')


class Sample:
    def __init__(self):
        self.seconds, self.kb = 0.0, 0

    def add(self, seconds, kb):
        self.seconds += seconds
        self.kb = max(self.kb, kb)
        return self


def run(command, cwd=None, env=None, sample=None):
    """Adds one run's seconds and peak resident kilobytes to `sample`."""
    sample = sample or Sample()
    # A child forked from Python counts Python's pages in its peak until it execs: GNU time,
    # small, forks the command instead and reports the command's own peak.
    with tempfile.NamedTemporaryFile('r') as peak:
        start = time.perf_counter()
        child = subprocess.run(['/usr/bin/time', '-q', '-f', '%M', '-o', peak.name] + command, cwd=cwd, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if child.returncode != 0:
            sys.exit('failed: %s: %s' % (' '.join(command), child.stderr.decode()))
        return sample.add(elapsed, int(peak.read().split()[-1]))


def fsync(path, sample):
    start = time.perf_counter()
    fd = os.open(path, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    return sample.add(time.perf_counter() - start, 0)


def remove(*paths):
    for p in paths:
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.exists(p):
            os.remove(p)


def append_edit(path):
    with open(path, 'a') as f:
        f.write('// edited %f\n' % time.time())


def measure(rounds, ours, peer):
    """Medians of interleaved rounds: (seconds, peak kb) for each side."""
    a, b = [], []
    for _ in range(rounds):
        a.append(ours())
        b.append(peer())
    med = lambda xs: (statistics.median(x.seconds for x in xs), max(x.kb for x in xs))
    return med(a), med(b)


def row(name, ours, peer, peer_name, sizes=None):
    (os_, okb), (ps, pkb) = ours, peer
    fmt = lambda s: '%7.1f ms' % (s * 1000) if s < 0.1 else '%7.2f s ' % s
    size = ''
    if sizes:
        size = ' | sizes %.1f / %.1f MB (%+.1f %%)' % (sizes[0] / 1e6, sizes[1] / 1e6, (sizes[0] / sizes[1] - 1) * 100)
    print('%-34s ours %s %5.0f MB | %-40s %s %5.0f MB | ratio %.2f%s' %
          (name, fmt(os_), okb / 1024, peer_name, fmt(ps), pkb / 1024, os_ / ps, size), flush=True)


def working_copy(home):
    found = glob.glob(os.path.join(home, 'data', 'Korvel', 'Autosave Information', 'Korvel-*', 'container'))
    if len(found) != 1:
        sys.exit('no single working copy under ' + home)
    return found[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench'))
    parser.add_argument('--files', type=int, default=2000)
    parser.add_argument('--megabytes', type=int, default=200)
    parser.add_argument('--rounds', type=int, default=7)
    parser.add_argument('--only', help='comma-separated row numbers (1-7) to run')
    args = parser.parse_args()
    only = set(int(x) for x in args.only.split(',')) if args.only else set(range(1, 8))
    require_tools()
    tool, zip_tool, libzip_peer = build(args.build)
    work = tempfile.mkdtemp(prefix='korvel-storage-bench-')

    def env_for(name):
        home = os.path.join(work, name)
        return home, dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, 'data'),
                          XDG_CONFIG_HOME=os.path.join(home, 'config'), XDG_CACHE_HOME=os.path.join(home, 'cache'))

    try:
        project = os.path.join(work, 'project')
        generate(project, args.files, args.megabytes)
        # One zip of ours is the input of every reading row, for both sides alike.
        base = os.path.join(work, 'base.zip')
        run([tool, 'save', project, base])
        print('project: %d files, %.0f MB; our zip %.1f MB; %d cores; 1-min load %.1f at start' %
              (args.files, args.megabytes * 1.048576, os.path.getsize(base) / 1e6, os.cpu_count(),
               os.getloadavg()[0]), flush=True)

        if 1 in only:
            row('list entries', *measure(args.rounds, lambda: run([zip_tool, 'list', base]),
                                         lambda: run(['unzip', '-l', base])), 'unzip -l')
        if 2 in only:
            row('read every entry', *measure(args.rounds, lambda: run([zip_tool, 'read', base]),
                                             lambda: run(['bsdtar', '-xOf', base])), 'bsdtar -xOf')
        if 3 in only:
            home, env = env_for('open')
            out = os.path.join(work, 'extracted')

            def ours():
                remove(home)
                return run([tool, 'open', base], env=env)

            def peer():
                remove(out)
                return run([libzip_peer, base, out])
            row('open: zip -> working copy', *measure(args.rounds, ours, peer), 'libzip extract + syncfs')
            remove(home, out)

        ours_new, peer_new = os.path.join(work, 'ours-new.zip'), os.path.join(work, 'peer-new.zip')

        def first_save_ours():
            remove(ours_new)
            return run([tool, 'save', project, ours_new])

        def first_save_peer():
            remove(peer_new)
            s = run(['7z', 'a', '-tzip', '-mx=5', '-mmt=on', peer_new, '.'], cwd=project)
            return fsync(peer_new, s)
        if 4 in only:
            row('first save into a new zip', *measure(args.rounds, first_save_ours, first_save_peer),
                '7z a -tzip -mx=5 all cores + fsync', (os.path.getsize(ours_new), os.path.getsize(peer_new)))
        if not os.path.exists(peer_new):
            first_save_peer()

        if 5 in only or 6 in only:
            origin, peer_origin = os.path.join(work, 'origin.zip'), os.path.join(work, 'peer-origin.zip')
            shutil.copyfile(base, origin)
            shutil.copyfile(peer_new, peer_origin)
            home, env = env_for('edit')
            run([tool, 'open', origin], env=env)
            copy = working_copy(home)

            def peer():
                append_edit(os.path.join(project, EDITED))
                s = run(['zip', '-q', peer_origin, EDITED], cwd=project)
                return fsync(peer_origin, s)

            if 5 in only:
                def ours():
                    append_edit(os.path.join(copy, EDITED))
                    return run([tool, 'resave', origin], env=env)
                row('save after one edit, new process', *measure(args.rounds, ours, peer),
                    'zip replace + fsync', (os.path.getsize(origin), os.path.getsize(peer_origin)))
            if 6 in only:
                def ours():
                    peak = tempfile.NamedTemporaryFile('r')
                    child = subprocess.Popen(['/usr/bin/time', '-q', '-f', '%M', '-o', peak.name, tool, 'session',
                                              origin], env=env, stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    if child.stdout.readline().strip() != 'ready':
                        sys.exit('session failed: ' + child.stderr.read())
                    append_edit(os.path.join(copy, EDITED))
                    start = time.perf_counter()
                    child.stdin.write('save\n')
                    child.stdin.flush()
                    if child.stdout.readline().strip() != 'saved':
                        sys.exit('session failed: ' + child.stderr.read())
                    elapsed = time.perf_counter() - start
                    child.stdin.close()
                    if child.wait() != 0:
                        sys.exit('session failed: ' + child.stderr.read())
                    with peak:
                        return Sample().add(elapsed, int(peak.read().split()[-1]))
                row('save after one edit, same session', *measure(args.rounds, ours, peer),
                    'zip replace + fsync', (os.path.getsize(origin), os.path.getsize(peer_origin)))
            remove(home, origin, peer_origin)

        if 7 in only:
            home, env = env_for('round-trip')
            saved, resaved = os.path.join(work, 'saved.zip'), os.path.join(work, 'resaved.zip')
            out = os.path.join(work, 'extracted')

            def ours():
                remove(home, saved)
                return run([tool, 'container', base, saved], env=env)

            def peer():
                remove(out, resaved)
                os.makedirs(out)
                s = run(['bsdtar', '-xf', base, '-C', out])
                run(['sync', '-f', out], sample=s)
                run(['7z', 'a', '-tzip', '-mx=5', '-mmt=on', resaved, '.'], cwd=out, sample=s)
                return fsync(resaved, s)
            row('zip -> working copy -> zip', *measure(args.rounds, ours, peer),
                'bsdtar x + syncfs + 7z a all cores + fsync', (os.path.getsize(saved), os.path.getsize(resaved)))
        print('1-min load at end %.1f' % os.getloadavg()[0])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
