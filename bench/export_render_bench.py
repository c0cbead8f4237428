#!/usr/bin/env python3
"""Times export rendering beside one running Chromium on the same HTML, in one run.

Builds a Release build of bench/export_render_bench (in build-bench-export/ unless --build is
given), writes --frames design frames of 1280 x 800 as HTML (text, gradients, rounded cards with
shadows), then keeps two export services running side by side:
  ours   export_render_bench serve: the export render queue with its warm workers
  peer   one Chromium kept running and driven through its DevTools protocol (puppeteer-core,
         bench/package.json) with --pages pages open in parallel, as a command-line export
         service runs it
Each round renders every frame to PNG and then to PDF on both sides, interleaved (ours, peer,
peer, ours, ...), after one warm-up round each. Prints the medians, the ratio ours / peer (below
1.0: ours is faster or smaller), the total PDF size of one round, and the 1-min load.

Needs a display (run under xvfb-run), node and npm, and Debian's chromium package (installed
here with apt-get when missing and run as root; no browser is downloaded). The node packages are
installed into bench/node_modules with npm ci.
"""
import argparse, os, shutil, statistics, subprocess, sys, tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bench = os.path.join(root, 'bench')
WIDTH, HEIGHT = 1280, 800


def build(folder):
    subprocess.run(['cmake', '-S', root, '-B', folder, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DKORVEL_BUILD_BENCH=ON', '-DKORVEL_BUILD_TESTS=OFF'], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder, '--target', 'export_render_bench', '-j', '3'], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'bench', 'export_render_bench')


def ensure_peer():
    if not shutil.which('chromium'):
        if os.geteuid() != 0:
            sys.exit('chromium is not installed: apt-get install chromium')
        subprocess.run(['apt-get', 'install', '-y', '-qq', 'chromium'], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND='noninteractive'))
    if not shutil.which('npm'):
        sys.exit('npm is not installed: apt-get install npm')
    if not os.path.isdir(os.path.join(bench, 'node_modules', 'puppeteer-core')):
        # No browser download: the system chromium is the one driven.
        subprocess.run(['npm', 'ci', '--no-audit', '--no-fund', '--loglevel=error'], cwd=bench, check=True,
                       env=dict(os.environ, PUPPETEER_SKIP_DOWNLOAD='1'))
    return shutil.which('chromium')


def frame(i):
    cards = ''.join('<div class="card" style="left:%dpx;top:%dpx;background:hsl(%d,60%%,60%%)">'
                    '<h2>Card %d</h2><p>Frame %d, a layer of text that wraps over two lines in its box.</p></div>'
                    % (40 + (j % 4) * 300, 160 + (j // 4) * 300, (i * 37 + j * 29) % 360, j, i) for j in range(8))
    return ('<!DOCTYPE html><html><head><meta charset="utf-8"><style>body{margin:0;font:16px sans-serif}'
            '.frame{position:relative;width:%dpx;height:%dpx;overflow:hidden;background:linear-gradient(#fff,#e8eef8)}'
            '.card{position:absolute;width:260px;height:260px;border-radius:12px;box-shadow:0 4px 12px #0003;padding:12px;'
            'box-sizing:border-box}h1{position:absolute;left:40px;top:30px;margin:0;font-size:48px}</style></head>'
            '<body><div class="frame"><h1>Export frame %d</h1>%s</div></body></html>' % (WIDTH, HEIGHT, i, cards))


class Service:
    """A process that answers one "<format> <folder>" line with "<seconds> <failed>"."""

    def __init__(self, name, argv, env=None, ready=None):
        self.name = name
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        if ready and self.process.stdout.readline().strip() != ready:
            sys.exit('%s did not start' % name)

    def round(self, kind, folder):
        os.makedirs(folder)
        self.process.stdin.write('%s %s\n' % (kind, folder))
        self.process.stdin.flush()
        answer = self.process.stdout.readline().split()
        if len(answer) != 2:
            sys.exit('%s stopped' % self.name)
        if answer[1] != '0':
            sys.exit('%s failed %s frames' % (self.name, answer[1]))
        return float(answer[0])

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def folder_size(folder):
    return sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default=os.path.join(root, 'build-bench-export'))
    parser.add_argument('--binary', help='an export_render_bench already built (skips the build)')
    parser.add_argument('--frames', type=int, default=20)
    parser.add_argument('--pages', type=int, default=5, help='pages Chromium keeps open')
    parser.add_argument('--rounds', type=int, default=7)
    parser.add_argument('--keep', help='copy the last round\'s files into this folder')
    args = parser.parse_args()
    chromium = ensure_peer()
    ours_binary = args.binary or build(args.build)
    work = tempfile.mkdtemp(prefix='korvel-export-bench-')
    services = []
    try:
        files = []
        for i in range(args.frames):
            path = os.path.join(work, 'frame%02d.html' % i)
            with open(path, 'w') as f:
                f.write(frame(i))
            files.append(path)
        ours = Service('ours', [ours_binary, 'serve', str(WIDTH), str(HEIGHT)] + files,
                       env=dict(os.environ, WEBKIT_DISABLE_COMPOSITING_MODE='1', NO_AT_BRIDGE='1'))
        services.append(ours)
        peer = Service('chromium', ['node', os.path.join(bench, 'export_render_bench.js'), chromium, str(args.pages),
                                    str(WIDTH), str(HEIGHT)] + files, ready='ready')
        services.append(peer)
        times = {(side.name, kind): [] for side in services for kind in ('png', 'pdf')}
        sizes = {}
        for n in range(args.rounds + 1):
            # Who goes first alternates, so a burst of load falls on both sides alike.
            order = services if n % 2 == 0 else services[::-1]
            for kind in ('png', 'pdf'):
                for side in order:
                    out = os.path.join(work, 'r%d-%s-%s' % (n, side.name, kind))
                    seconds = side.round(kind, out)
                    if n > 0:  # round 0 warms both up
                        times[(side.name, kind)].append(seconds)
                    if kind == 'pdf':
                        sizes[side.name] = folder_size(out)
                    if args.keep and n == args.rounds:
                        shutil.copytree(out, os.path.join(args.keep, '%s-%s' % (side.name, kind)), dirs_exist_ok=True)
                    if n < args.rounds:
                        shutil.rmtree(out)
        load = os.getloadavg()[0]
        print('%d frames of %dx%d, medians of %d interleaved rounds after a warm-up; Chromium with %d pages; '
              '1-min load %.2f' % (args.frames, WIDTH, HEIGHT, args.rounds, args.pages, load))
        print('%-28s %12s %12s %7s' % ('work', 'ours', 'chromium', 'ratio'))
        for kind in ('png', 'pdf'):
            a, b = statistics.median(times[('ours', kind)]), statistics.median(times[('chromium', kind)])
            print('%-28s %10.2f s %10.2f s %7.2f' % ('export %d frames to %s' % (args.frames, kind.upper()), a, b, a / b))
        a, b = sizes['ours'], sizes['chromium']
        print('%-28s %9.0f KB %9.0f KB %7.2f' % ('PDF size for those frames', a / 1024, b / 1024, a / b))
        for kind in ('png', 'pdf'):
            print('  %s rounds ours %s / chromium %s' % (kind, ' '.join('%.2f' % t for t in times[('ours', kind)]),
                                                        ' '.join('%.2f' % t for t in times[('chromium', kind)])))
    finally:
        for side in services:
            side.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
