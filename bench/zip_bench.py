#!/usr/bin/env python3
"""Times the zip library beside the fastest peer tools on a project-like archive, in one run.

Builds a Release build of bench/zip_bench (in build-bench/ unless --build is given), generates an
archive of about 2,000 files and 200 MB (image-like files stored, text files deflated), then
times, best of --runs:
  list           zip_bench list      vs  unzip -l
  read all       zip_bench read      vs  bsdtar -xOf, unzip -p
  replace one    zip_bench replace   vs  zip updating one file
and prints each ratio (ours / peer). Below 1.0 means faster than the peer.
"""
import argparse, os, random, shutil, subprocess, sys, tempfile, time, zipfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_CORE_ONLY=ON', '-DKORVEL_BUILD_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'zip_bench'], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'zip_bench')

def generate(folder, files, megabytes):
    rng = random.Random(7)
    words = ['layer', 'frame', 'button', 'color', 'width', 'height', 'text', 'image', 'shadow', 'radius',
             'opacity', 'x', 'y', 'children', 'name', 'id', 'true', 'false', 'null', 'component']
    images = files // 5
    image_size = megabytes * 1024 * 1024 * 4 // 5 // images
    text_size = megabytes * 1024 * 1024 // 5 // (files - images)
    src = os.path.join(folder, 'src')
    archive = os.path.join(folder, 'project.zip')
    with zipfile.ZipFile(archive, 'w') as z:
        for i in range(files):
            if i < images:
                name = 'design/images/%04d.png' % i
                data = rng.randbytes(image_size)
                method = zipfile.ZIP_STORED
            else:
                name = 'code/module%02d/file%04d.js' % (i % 40, i)
                data = ' '.join(rng.choice(words) + str(rng.randrange(100)) for _ in range(text_size // 6)).encode()
                method = zipfile.ZIP_DEFLATED
            z.writestr(name, data, compress_type=method)
    os.makedirs(os.path.join(src, 'code/module01'), exist_ok=True)
    replacement = 'code/module01/file0401.js'
    with open(os.path.join(src, replacement), 'w') as f:
        f.write('export const replaced = true;\n' * 1000)
    return archive, src, replacement

def best(command, runs, before=None, cwd=None):
    times = []
    for _ in range(runs):
        if before:
            before()
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)
        times.append(time.perf_counter() - start)
    return min(times)

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench'))
    parser.add_argument('--files', type=int, default=2000)
    parser.add_argument('--megabytes', type=int, default=200)
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    for tool in ('unzip', 'bsdtar', 'zip'):
        if not shutil.which(tool):
            sys.exit('missing peer tool: ' + tool)
    tool = build(args.build)
    with tempfile.TemporaryDirectory(dir=root) as folder:
        archive, src, replacement = generate(folder, args.files, args.megabytes)
        print('archive: %d files, %.0f MB' % (args.files, os.path.getsize(archive) / 1e6))
        work = os.path.join(folder, 'work.zip')
        fresh = lambda: shutil.copyfile(archive, work)
        rows = [
            ('list', best([tool, 'list', archive], args.runs), 'unzip -l', best(['unzip', '-l', archive], args.runs)),
        ]
        ours = best([tool, 'read', archive], args.runs)
        rows.append(('read all', ours, 'bsdtar -xOf', best(['bsdtar', '-xOf', archive], args.runs)))
        rows.append(('read all', ours, 'unzip -p', best(['unzip', '-p', archive], args.runs)))
        rows.append(('replace one', best([tool, 'replace', work, replacement, os.path.join(src, replacement)],
                                         args.runs, fresh),
                     'zip (update)', best(['zip', '-q', work, replacement], args.runs, fresh, cwd=src)))
        print('%-12s %10s  %-14s %10s  %6s' % ('operation', 'ours (s)', 'peer', 'peer (s)', 'ratio'))
        for op, mine, peer, theirs in rows:
            print('%-12s %10.4f  %-14s %10.4f  %6.2f' % (op, mine, peer, theirs, mine / theirs))

if __name__ == '__main__':
    main()
