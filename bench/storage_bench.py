#!/usr/bin/env python3
"""Times the document storage beside zip, unzip and bsdtar on a generated project, in one run.

Builds a Release build of bench/storage_bench (in build-bench/ unless --build is given),
generates a project folder of about 2,000 files and 200 MB (most bytes already-compressed
images), then times, best of --runs, and prints the ratio (ours / peer; below 1.0 is faster)
and the peak resident memory of each side:
  first save into a new zip      vs  zip -r -q -6
  save after editing one file    vs  zip -q updating that file
  reading the zip into a folder  vs  unzip -q, bsdtar -xf
  a zip opened into a fresh working copy and saved back  vs  unzip -q followed by zip -r -q
"""
import argparse, os, random, shutil, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_CORE_ONLY=ON', '-DKORVEL_BUILD_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'storage_bench'], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'storage_bench')

def generate(folder, files, megabytes):
    rng = random.Random(11)
    words = ['layer', 'frame', 'button', 'color', 'width', 'height', 'text', 'image', 'shadow', 'radius']
    images = files // 5
    image_size = megabytes * 1024 * 1024 * 9 // 10 // images
    text_size = megabytes * 1024 * 1024 // 10 // (files - images)
    for i in range(files):
        if i < images:
            path = os.path.join(folder, 'design/images/%04d.png' % i)
            data = rng.randbytes(image_size)
        else:
            path = os.path.join(folder, 'code/module%02d/file%04d.js' % (i % 40, i))
            data = ' '.join(rng.choice(words) + str(rng.randrange(100)) for _ in range(text_size // 6)).encode()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
    with open(os.path.join(folder, 'design/document.json'), 'w') as f:
        f.write('{"version":1}')

def run(command, cwd=None, env=None):
    """Seconds and peak resident kilobytes of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit('failed: %s: %s' % (' '.join(command), child.stderr.read().decode()))
    return elapsed, usage.ru_maxrss

def best(commands, runs, before=None, cwd=None, env=None):
    results = []
    for _ in range(runs):
        if before:
            before()
        total, peak = 0.0, 0
        for c in commands:
            seconds, kb = run(c, cwd=cwd, env=env)
            total += seconds
            peak = max(peak, kb)
        results.append((total, peak))
    return min(results)

def line(name, ours, peer, peer_name):
    print('%-44s ours %7.3f s %7.0f MB | %-20s %7.3f s %7.0f MB | ratio %.2f' %
          (name, ours[0], ours[1] / 1024, peer_name, peer[0], peer[1] / 1024, ours[0] / peer[0]))

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench'))
    parser.add_argument('--files', type=int, default=2000)
    parser.add_argument('--megabytes', type=int, default=200)
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    tool = build(args.build)
    work = tempfile.mkdtemp(prefix='korvel-storage-bench-')
    try:
        project = os.path.join(work, 'project')
        generate(project, args.files, args.megabytes)
        ours_zip, peer_zip = os.path.join(work, 'ours.zip'), os.path.join(work, 'peer.zip')
        def clean(*paths):
            def remove():
                for p in paths:
                    shutil.rmtree(p, ignore_errors=True) if os.path.isdir(p) else os.path.exists(p) and os.remove(p)
            return remove
        ours = best([[tool, 'save', project, ours_zip]], args.runs, clean(ours_zip))
        peer = best([['zip', '-r', '-q', '-6', peer_zip, '.']], args.runs, clean(peer_zip), cwd=project)
        line('first save into a new zip', ours, peer, 'zip -r -q -6')

        edited = 'code/module01/file0401.js'
        def edit():
            with open(os.path.join(project, edited), 'a') as f:
                f.write('// edited\n')
        ours = best([[tool, 'save', project, ours_zip]], args.runs, edit)
        peer = best([['zip', '-q', peer_zip, edited]], args.runs, edit, cwd=project)
        line('save after editing one file', ours, peer, 'zip -q (one file)')

        out = os.path.join(work, 'out')
        ours = best([[tool, 'read', ours_zip, out]], args.runs, clean(out))
        def fresh():
            clean(out)()
            os.makedirs(out)
        peer = best([['unzip', '-q', peer_zip, '-d', out]], args.runs, fresh)
        line('read the zip into a folder', ours, peer, 'unzip -q')
        peer = best([['bsdtar', '-xf', peer_zip, '-C', out]], args.runs, fresh)
        line('read the zip into a folder', ours, peer, 'bsdtar -xf')

        home = os.path.join(work, 'home')
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, 'data'))
        saved = os.path.join(work, 'saved.zip')
        ours = best([[tool, 'container', ours_zip, saved]], args.runs, clean(saved, home), env=env)
        resaved = os.path.join(work, 'resaved.zip')
        peer = best([['unzip', '-q', peer_zip, '-d', out],
                     ['sh', '-c', 'cd "$0" && zip -r -q "$1" .', out, resaved]], args.runs, clean(out, resaved))
        line('zip -> working copy -> zip', ours, peer, 'unzip -q + zip -r -q')
    finally:
        shutil.rmtree(work, ignore_errors=True)

if __name__ == '__main__':
    main()
